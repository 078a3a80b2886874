#include "engine/pool/spread_mode.h"

#include <gtest/gtest.h>

#include "config/settings_store.h"
#include "tests/support/temp_dir.h"

namespace tovix::pool {
namespace {

using Json = nlohmann::ordered_json;

TEST(SpreadMode, ReadFromTheSettingsRecord) {
  struct Case {
    Json settings;
    SpreadMode expected;
  };
  const Case cases[] = {
      {Json::object(), SpreadMode::first_available},  // a file from before either key
      {Json{{"pid_mode", false}}, SpreadMode::first_available},
      {Json{{"pid_mode", true}}, SpreadMode::per_program},
      {Json{{"pid_mode", 1}}, SpreadMode::per_program},
      {Json{{"per_connection_mode", true}}, SpreadMode::per_connection},
      {Json{{"pid_mode", false}, {"per_connection_mode", true}}, SpreadMode::per_connection},
      {Json{{"pid_mode", true}, {"per_connection_mode", true}}, SpreadMode::per_program},
      {Json{{"pid_mode", nullptr}, {"per_connection_mode", "yes"}}, SpreadMode::per_connection},
      {Json::array(), SpreadMode::first_available},
  };
  for (const Case& c : cases) EXPECT_EQ(spread_mode_of(c.settings), c.expected) << c.settings.dump();

  for (SpreadMode mode : {SpreadMode::first_available, SpreadMode::per_program, SpreadMode::per_connection}) {
    Json settings{{"pid_mode", true}, {"per_connection_mode", true}, {"api_url", "kept"}};
    store_spread_mode(settings, mode);
    EXPECT_EQ(spread_mode_of(settings), mode);
    EXPECT_EQ(settings["pid_mode"].get<bool>(), mode == SpreadMode::per_program) << "the key the engine reads";
    EXPECT_EQ(settings["api_url"], "kept");
  }
}

// Files written before the third mode existed load with the mode they meant.
TEST(SpreadMode, OlderSettingsFilesKeepTheirMode) {
  tovix::testing::TempDir dir;
  tovix::testing::write_text(dir / "before.json", R"({"proxy_list": [], "api_url": ""})");
  tovix::testing::write_text(dir / "pid.json", R"({"proxy_list": [], "pid_mode": true})");
  EXPECT_EQ(spread_mode_of(SettingsStore(dir / "before.json").to_dict()), SpreadMode::first_available);
  SettingsStore with_pid_mode(dir / "pid.json");
  EXPECT_EQ(spread_mode_of(with_pid_mode.to_dict()), SpreadMode::per_program);

  Json record = with_pid_mode.to_dict();
  store_spread_mode(record, SpreadMode::per_connection);
  for (const char* key : {PID_MODE_KEY, PER_CONNECTION_MODE_KEY}) with_pid_mode.set(key, record[key]);
  EXPECT_EQ(spread_mode_of(SettingsStore(dir / "pid.json").to_dict()), SpreadMode::per_connection);
}

TEST(SpreadMode, GlobalStatusSaysWhatIsDone) {
  EXPECT_EQ(global_status_detail(SpreadMode::per_connection, 2, "5001,5002"), "全局代理 | 2IP轮询 | 中继:5001,5002");
  EXPECT_EQ(global_status_detail(SpreadMode::per_program, 2, "5001,5002"), "全局代理 | 2IP轮询 | 中继:5001,5002");
  EXPECT_EQ(global_status_detail(SpreadMode::first_available, 1, "5001"), "全局代理 | 1IP轮询 | 中继:5001");
  const std::string first = global_status_detail(SpreadMode::first_available, 3, "1,2,3");
  EXPECT_EQ(first.find("IP轮询"), std::string::npos) << first;
  EXPECT_EQ(first, "全局代理 | 首个可用代理 (共3个，故障时换下一个) | 中继:1,2,3");
}

}  // namespace
}  // namespace tovix::pool
