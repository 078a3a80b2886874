// The running system's process queries, on whatever system the tests run (under Wine too).
#include <gtest/gtest.h>

#include <filesystem>

#include "common/paths.h"
#include "engine/process/proc_watch.h"

namespace tovix {
namespace {

namespace fs = std::filesystem;

bool same_dir(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) || lower_ascii(a.string()) == lower_ascii(b.string());
}

TEST(PlatformProcessQueriesTest, ListsThisTestProcessWithItsNameAndPath) {
  auto queries = platform_process_queries();
  std::optional<ProcessEntry> self;
  std::size_t count = 0;
  queries->for_each_process(ProcessDetail::name_and_path, [&](const ProcessEntry& entry) {
    ++count;
    if (!entry.exe || entry.exe->empty()) return;
    const fs::path exe(*entry.exe);
    if (exe.stem() == "proc_watch_test" && same_dir(exe.parent_path(), executable_dir())) self = entry;
  });
  EXPECT_GT(count, 1u);
  ASSERT_TRUE(self.has_value()) << "this test process is not listed";
  ASSERT_TRUE(self->name.has_value());
  EXPECT_EQ(*self->name, fs::path(*self->exe).filename().string());
  EXPECT_EQ(queries->image_name(self->pid), self->name);
  EXPECT_EQ(queries->image_name(0), std::nullopt);
  EXPECT_NO_THROW(queries->tcp_connections());
  EXPECT_NO_THROW(queries->udp_sockets());
  const auto started = queries->process_start_time(self->pid);
  EXPECT_TRUE(started.has_value()) << "a running process has a start time";
  EXPECT_EQ(queries->process_start_time(self->pid), started);
  EXPECT_EQ(queries->process_start_time(0), std::nullopt);
}

}  // namespace
}  // namespace tovix
