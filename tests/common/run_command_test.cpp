#include "common/run_command.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/paths.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;

std::string probe() {
#ifdef _WIN32
  return (executable_dir() / "command_probe.exe").string();
#else
  return (executable_dir() / "command_probe").string();
#endif
}

TEST(RunCommandTest, ExitCodeAndBothStreams) {
  EXPECT_EQ(run_command({probe(), "exit", "0"}, 20s).exit_code, 0);
  EXPECT_EQ(run_command({probe(), "exit", "3"}, 20s).exit_code, 3);
  const CommandResult result = run_command({probe(), "streams"}, 20s);
  EXPECT_EQ(result.standard_output, "to stdout");
  EXPECT_EQ(result.standard_error, "to stderr");
}

TEST(RunCommandTest, ArgumentsArriveIntact) {
  const std::vector<std::string> arguments = {"plain", "with space", "", "say \"hi\"", "trail\\",
                                              "C:\\Program Files\\", "x\\\"y", "中文 参数", "a\\\\b\\c"};
  std::vector<std::string> argv = {probe(), "args"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string expected;
  for (const auto& a : arguments) expected += "[" + a + "]\n";
  std::string output = run_command(argv, 20s).standard_output;
  std::erase(output, '\r');
  EXPECT_EQ(output, expected);
}

TEST(RunCommandTest, LargeOutputOnBothStreamsDoesNotBlock) {
  const CommandResult result = run_command({probe(), "flood"}, 60s);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_GE(result.standard_output.size(), 2048u * 1024u);
  EXPECT_GE(result.standard_error.size(), 2048u * 1024u);
}

TEST(RunCommandTest, UndecodableOutputIsReplaced) {
  EXPECT_EQ(run_command({probe(), "bytes"}, 20s).standard_output, "ok \xEF\xBF\xBD\xEF\xBF\xBD 中");
}

TEST(RunCommandTest, MissingProgramIsAStartFailureNotATimeout) {
  try {
    run_command({"tovix-no-such-program-here"}, 5s);
    FAIL() << "expected a failure";
  } catch (const CommandTimeout&) {
    FAIL() << "reported as a time-out";
  } catch (const CommandError& error) {
    EXPECT_NE(std::string(error.what()).find("tovix-no-such-program-here"), std::string::npos);
  }
  EXPECT_THROW(run_command({}, 5s), CommandError);
}

TEST(RunCommandTest, TimeOutKillsTheChild) {
  testing::TempDir dir;
  const auto marker = dir / "survived";
  EXPECT_THROW(run_command({probe(), "sleep-then-touch", "1500", marker.string()}, 200ms), CommandTimeout);
  // Had the child lived on, it would have written the marker by now.
  std::this_thread::sleep_for(2500ms);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(RunCommandTest, ConcurrentRunsKeepTheirOwnOutput) {
  std::vector<std::thread> threads;
  std::vector<std::string> outputs(6);
  for (size_t i = 0; i < outputs.size(); ++i) {
    threads.emplace_back([&, i] { outputs[i] = run_command({probe(), "args", std::to_string(i)}, 30s).standard_output; });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < outputs.size(); ++i) {
    std::erase(outputs[i], '\r');
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap for
    // "literal" + std::string&& (GCC bug 105329).
    std::string expected = "[";
    expected += std::to_string(i);
    expected += "]\n";
    EXPECT_EQ(outputs[i], expected);
  }
}

}  // namespace
}  // namespace tovix
