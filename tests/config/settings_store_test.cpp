#include "config/settings_store.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/logging.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using testing::LogCapture;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

const char* const kFreshDefaults = R"json({
    "proxy_type": "socks5",
    "proxy_host": "127.0.0.1",
    "proxy_port": 1080,
    "proxy_username": "",
    "proxy_password": "",
    "proxy_list": [],
    "api_url": "",
    "api_use": false,
    "api_user": "",
    "api_pass": "",
    "api_interval": 30,
    "process_list": [],
    "enabled": false,
    "tovixproxy_jwt": "",
    "tovixproxy_account": "",
    "tovixproxy_password": "",
    "tovixproxy_base_url": "https://console.tovix.example",
    "route_rules": [
        {
            "note": "本机、链路本地与局域网直连 (DNS 除外)",
            "programs": [],
            "names": [],
            "networks": [
                "127.0.0.0/8",
                "::1",
                "169.254.0.0/16",
                "fe80::/10",
                "10.0.0.0/8",
                "172.16.0.0/12",
                "192.168.0.0/16",
                "100.64.0.0/10",
                "fc00::/7"
            ],
            "ports": "1-52,54-65535",
            "action": "direct"
        }
    ],
    "resolve_names_at_proxy": true
})json";

class SettingsStoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path file = dir / "config.json";
};

TEST_F(SettingsStoreTest, FirstStartWritesDefaultsAndSecondStartMigratesTheLegacyProxy) {
  {
    SettingsStore first(file);
    EXPECT_EQ(first.get("proxy_list"), Json::array());
  }
  EXPECT_EQ(read_text(file), kFreshDefaults);

  SettingsStore second(file);
  const Json expected = Json::parse(
      R"([{"type":"socks5","host":"127.0.0.1","port":1080,"username":"","password":""}])");
  EXPECT_EQ(second.get("proxy_list"), expected);
  EXPECT_EQ(second.proxy_list().dump(), expected.dump()) << "key order of the migrated entry";
  EXPECT_EQ(read_text(file), kFreshDefaults) << "loading alone must not rewrite the file";
}

TEST_F(SettingsStoreTest, NestedFolderIsCreatedOnFirstSave) {
  const auto nested = dir / "a" / "b" / "config.json";
  SettingsStore store(nested);
  EXPECT_TRUE(std::filesystem::exists(nested));
}

TEST_F(SettingsStoreTest, PartialFileKeepsItsValuesAndUnknownKeysSurviveSaves) {
  write_text(file, R"({"zeta": {"x": 1}, "proxy_list": [{"type": "http", "host": "h", "port": 1, "extra": true}]})");
  SettingsStore store(file);
  const Json dict = store.to_dict();
  EXPECT_EQ(dict.size(), default_settings().size() + 1);
  EXPECT_EQ(dict.begin().key(), "zeta") << "keys of the file keep their place";
  EXPECT_EQ(store.get("proxy_list")[0]["extra"], true);
  EXPECT_EQ(store.get("api_interval"), 30);

  store.set_enabled(true);
  const Json written = Json::parse(read_text(file));
  EXPECT_EQ(written["zeta"]["x"], 1);
  EXPECT_EQ(written["enabled"], true);
  EXPECT_EQ(written["proxy_list"].size(), 1u);
}

TEST_F(SettingsStoreTest, EmptyListWithoutLegacyHostStaysEmpty) {
  for (const char* text : {R"({"proxy_list": null, "proxy_host": ""})", R"({"proxy_list": 0, "proxy_port": 0})",
                           R"({"proxy_list": "", "proxy_host": 5})"}) {
    write_text(file, text);
    SettingsStore store(file);
    EXPECT_FALSE(store.get("proxy_list").is_array() && !store.get("proxy_list").empty()) << text;
  }
  write_text(file, R"({"proxy_list": false, "proxy_host": "10.1.1.1", "proxy_port": "9000", "proxy_type": "http"})");
  SettingsStore store(file);
  EXPECT_EQ(store.get("proxy_list")[0]["port"], "9000") << "the migrated port is kept as stored";
  EXPECT_EQ(store.get("proxy_list")[0]["type"], "http");
}

TEST_F(SettingsStoreTest, ChineseTextIsWrittenAsUtf8) {
  SettingsStore store(file);
  store.set("tovixproxy_account", "云貂用户");
  const std::string text = read_text(file);
  EXPECT_NE(text.find("\"tovixproxy_account\": \"云貂用户\""), std::string::npos);
  EXPECT_EQ(text.find("\\u"), std::string::npos);
  EXPECT_EQ(SettingsStore(file).get("tovixproxy_account"), "云貂用户");
}

TEST_F(SettingsStoreTest, GetDistinguishesAbsentKeysFromNullValues) {
  SettingsStore store(file);
  EXPECT_TRUE(store.get("missing").is_null());
  EXPECT_EQ(store.get("missing", 7), 7);
  store.set("nothing", nullptr);
  EXPECT_TRUE(store.get("nothing", 7).is_null());
  Json copy = store.to_dict();
  copy["proxy_host"] = "changed";
  EXPECT_EQ(store.get("proxy_host"), "127.0.0.1") << "to_dict hands out a copy";
}

TEST_F(SettingsStoreTest, ProxyAddrSetterSplitsAtTheLastColon) {
  SettingsStore store(file);
  struct Case {
    const char* input;
    const char* host;
    int port;
  };
  for (const Case& c : {Case{"  10.0.0.5:8080  ", "10.0.0.5", 8080}, Case{"10.0.0.5", "10.0.0.5", 0},
                        Case{"proxy.example:abc", "proxy.example", 0}, Case{"", "", 0}, Case{"   ", "", 0},
                        Case{"a:b:1080", "a:b", 1080}, Case{" h : 81 ", "h", 81}}) {
    store.set_proxy_addr(c.input);
    EXPECT_EQ(store.proxy_host(), c.host) << c.input;
    EXPECT_EQ(store.proxy_port(), c.port) << c.input;
  }
  EXPECT_EQ(Json::parse(read_text(file))["proxy_host"], "h");
}

TEST_F(SettingsStoreTest, ProxyAddrGetter) {
  SettingsStore store(file);
  store.set_proxy_host("10.0.0.5");
  store.set_proxy_port(8080);
  EXPECT_EQ(store.proxy_addr(), "10.0.0.5:8080");
  store.set_proxy_port(0);
  EXPECT_EQ(store.proxy_addr(), "10.0.0.5");
  store.set_proxy_host("");
  store.set_proxy_port(8080);
  EXPECT_EQ(store.proxy_addr(), "");
}

TEST_F(SettingsStoreTest, ProxyListOperations) {
  SettingsStore store(file);
  store.add_proxy("socks5", "a.example", "1080", "user", "密码");
  store.add_proxy("http", "b.example", 3128);
  Json list = Json::parse(read_text(file))["proxy_list"];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].dump(), R"({"type":"socks5","host":"a.example","port":1080,"username":"user","password":"密码"})");
  EXPECT_EQ(list[1]["username"], "");

  EXPECT_THROW(store.add_proxy("http", "c", "80a"), std::invalid_argument);
  EXPECT_THROW(store.update_proxy(0, "http", "c", Json::array()), std::invalid_argument);
  EXPECT_EQ(store.get("proxy_list").size(), 2u);

  store.set("proxy_list", Json::parse(R"([{"type":"http","host":"x","port":1,"note":"kept?"}])"));
  store.update_proxy(0, "socks5", "y", 2.0);
  EXPECT_EQ(store.get("proxy_list")[0].dump(),
            R"({"type":"socks5","host":"y","port":2,"username":"","password":""})");

  store.remove_proxy(0);
  EXPECT_EQ(Json::parse(read_text(file))["proxy_list"], Json::array());
}

TEST_F(SettingsStoreTest, OutOfRangeListOperationsWriteNothing) {
  SettingsStore store(file);
  store.add_proxy("socks5", "a", 1);
  write_text(file, "marker");  // any write by the store would replace this
  store.remove_proxy(-1);
  store.remove_proxy(1);
  store.update_proxy(-1, "http", "b", 2);
  store.update_proxy(1, "http", "b", 2);
  EXPECT_EQ(read_text(file), "marker");
  EXPECT_EQ(store.get("proxy_list").size(), 1u);
}

TEST_F(SettingsStoreTest, FailedSaveIsLoggedAndKeepsTheValuesInMemory) {
  write_text(dir / "blocker", "a file where a folder should be");
  const auto unwritable = dir / "blocker" / "config.json";
  LogCapture log(LOGGER_SETTINGS);
  SettingsStore store(unwritable);
  store.set("api_url", "http://x");
  EXPECT_EQ(store.get("api_url"), "http://x");
  const auto entries = log.entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().level, spdlog::level::err);
  EXPECT_EQ(entries.back().text.rfind("保存配置失败: ", 0), 0u) << entries.back().text;
}

TEST_F(SettingsStoreTest, FailedReplaceLeavesTheOldFileAndNoTemporaryFile) {
  LogCapture log(LOGGER_SETTINGS);
  SettingsStore store(file);
  // Whatever sits at the path must survive a failed save: here a folder the rename cannot replace.
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  write_text(file / "inside", "old");
  store.set("enabled", true);
  EXPECT_EQ(read_text(file / "inside"), "old");
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename(), "config.json") << "left behind: " << entry.path();
  }
  EXPECT_TRUE(log.contains_fragment(spdlog::level::err, "保存配置失败: "));
}

TEST_F(SettingsStoreTest, CorruptFileIsKeptAsBackupBeforeDefaultsReplaceIt) {
  LogCapture log(LOGGER_SETTINGS);
  write_text(file, R"({"proxy_list": [{"host": "mine")");
  {
    SettingsStore store(file);
    EXPECT_EQ(store.get("proxy_list"), Json::array());
  }
  EXPECT_EQ(read_text(dir / "config.json.bad"), R"({"proxy_list": [{"host": "mine")");
  EXPECT_EQ(read_text(file), kFreshDefaults);
  EXPECT_TRUE(log.contains_fragment(spdlog::level::warn, (dir / "config.json.bad").string()));

  // A second bad file must not overwrite the first backup; a non-object top level counts as bad.
  write_text(file, "[1, 2]");
  SettingsStore again(file);
  EXPECT_EQ(read_text(dir / "config.json.bad"), R"({"proxy_list": [{"host": "mine")");
  int backups = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().rfind("config.json.bad-", 0) == 0) {
      ++backups;
      EXPECT_EQ(read_text(entry.path()), "[1, 2]");
    }
  }
  EXPECT_EQ(backups, 1);
}

#ifndef _WIN32
TEST_F(SettingsStoreTest, FileIsReadableByItsOwnerOnly) {
  SettingsStore store(file);
  store.set("proxy_password", "secret");
  const auto perms = std::filesystem::status(file).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
#endif

}  // namespace
}  // namespace tovix
