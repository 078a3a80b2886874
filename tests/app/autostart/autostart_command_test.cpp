#include "app/autostart/autostart.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/text.h"

namespace tovix::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// The log-on start runs in another working folder: the program and a settings file of its own
// are named absolutely, and the window stays in the tray.
TEST(AutostartCommand, StartsThisProgramMinimizedOnItsOwnSettingsFile) {
  const app::AutostartCommand plain = app::autostart_command("bin/tovixproxy", std::nullopt);
  EXPECT_TRUE(plain.program.is_absolute());
  EXPECT_EQ(plain.program, fs::absolute("bin/tovixproxy"));
  EXPECT_THAT(plain.arguments, ElementsAre("--minimized"));

  const app::AutostartCommand own = app::autostart_command("tovixproxy", fs::u8path("配置/my config.json"));
  EXPECT_THAT(own.arguments,
              ElementsAre("--minimized", "--config", path_text(fs::absolute(fs::u8path("配置/my config.json")))));
}

}  // namespace
}  // namespace tovix::testing
