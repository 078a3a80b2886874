#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "config/settings_store.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using testing::read_text;
using testing::TempDir;

constexpr int kThreads = 8;

TEST(SettingsConcurrencyTest, SimultaneousFirstConstructionsYieldOneLoadedInstance) {
  TempDir dir;
  std::vector<SettingsStore*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { seen[i] = &SettingsStore::_instance_at(dir / "config.json"); });
  }
  for (auto& t : threads) t.join();
  for (SettingsStore* store : seen) EXPECT_EQ(store, seen[0]);
  EXPECT_EQ(seen[0]->get("proxy_port"), 1080);
  EXPECT_EQ(&SettingsStore::instance(), seen[0]) << "later constructions return the same object";

  seen[0]->set("marker", 1);
  testing::write_text(dir / "config.json", "{}");
  EXPECT_EQ(SettingsStore::instance().get("marker"), 1) << "a later construction does not reload";
}

TEST(SettingsConcurrencyTest, ConcurrentChangesAreAllKeptInMemoryAndOnDisk) {
  TempDir dir;
  SettingsStore store(dir / "config.json");
  constexpr int kPerThread = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Built with append: GCC 12 at -O3 reports a false -Wrestrict overlap for
        // "literal" + std::string&& (GCC bug 105329).
        std::string key = "key_";
        key.append(std::to_string(t)).append("_").append(std::to_string(i));
        std::string host = "h";
        host.append(std::to_string(t));
        store.set(key, i);
        store.add_proxy("socks5", host, i + 1);
        (void)store.to_dict();
        (void)store.proxy_addr();
      }
    });
  }
  for (auto& t : threads) t.join();

  const Json on_disk = Json::parse(read_text(dir / "config.json"));
  EXPECT_EQ(on_disk, store.to_dict()) << "the last write carries the final record";
  EXPECT_EQ(on_disk["proxy_list"].size(), static_cast<size_t>(kThreads * kPerThread));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      EXPECT_EQ(on_disk["key_" + std::to_string(t) + "_" + std::to_string(i)], i);
    }
  }
}

}  // namespace
}  // namespace tovix
