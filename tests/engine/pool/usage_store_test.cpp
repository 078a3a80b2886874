#include "engine/pool/usage_store.h"
#include "engine/pool/usage_sampler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tovix::pool {

void PrintTo(const UsageCounters& counters, std::ostream* out) {
  *out << "{up " << counters.bytes_up << ", down " << counters.bytes_down << ", connections " << counters.connections
       << "}";
}

namespace {

using Json = nlohmann::ordered_json;
using tovix::testing::read_text;
using tovix::testing::TempDir;
using tovix::testing::write_text;

const ProxyIdentity A{"socks5", "user-a", "10.0.0.1", 1080};
const ProxyIdentity B{"http", "", "10.0.0.2", 3128};

class UsageStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return UsageStore::beside(dir / "config.json"); }
  TempDir dir;
  std::atomic<std::int64_t> seconds{1'700'000'000};
  std::function<std::int64_t()> clock = [this] { return seconds.load(); };
};

TEST_F(UsageStoreTest, TotalsOutliveARestartWhileSinceStartBeginsAnew) {
  {
    UsageStore store(file(), clock);
    store.add_connection(A);
    store.add_connection(A);
    store.add_traffic(A, 100, 2000);
    store.add_traffic(B, 5, 0);
    EXPECT_EQ(store.usage_of(A).since_start, (UsageCounters{100, 2000, 2}));
    EXPECT_EQ(store.usage_of(A).total, (UsageCounters{100, 2000, 2}));
    ASSERT_TRUE(store.save());
  }
  UsageStore reopened(file(), clock);
  EXPECT_EQ(reopened.usage_of(A).since_start, UsageCounters{}) << "a new start";
  EXPECT_EQ(reopened.usage_of(A).total, (UsageCounters{100, 2000, 2}));
  EXPECT_EQ(reopened.usage_of(B).total, (UsageCounters{5, 0, 0}));
  reopened.add_traffic(A, 1, 1);
  EXPECT_EQ(reopened.usage_of(A).total, (UsageCounters{101, 2001, 2}));
  EXPECT_EQ(reopened.usage_of(A).since_start, (UsageCounters{1, 1, 0}));

  reopened.start_session();
  EXPECT_EQ(reopened.usage_of(A).since_start, UsageCounters{});
  EXPECT_EQ(reopened.usage_of(A).total, (UsageCounters{101, 2001, 2}));
  EXPECT_EQ(reopened.usage_of({"socks5", "", "192.0.2.1", 1}).total, UsageCounters{}) << "never counted";
}

TEST_F(UsageStoreTest, FileLiesBesideTheSettingsAndHoldsNoPassword) {
  EXPECT_EQ(file(), dir / "proxy_usage.json");
  UsageStore store(file(), clock);
  store.add_connection(A);
  ASSERT_TRUE(store.save());
  const Json saved = Json::parse(read_text(file()));
  EXPECT_EQ(saved["proxies"]["socks5://user-a@10.0.0.1:1080"]["connections"], 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "config.json")) << "the settings file is not touched";
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().filename(), "proxy_usage.json") << "no temporary file left";
}

TEST_F(UsageStoreTest, UnreadableFileIsKeptAsideAndCountingStartsFromZero) {
  struct Case {
    const char* name;
    const char* content;
  };
  const Case cases[] = {
      {"not JSON", "{\"proxies\": {"}, {"not a record", "[1, 2]"}, {"no proxies", "{\"version\": 1}"}};
  for (const Case& c : cases) {
    TempDir folder;
    const auto path = folder / "proxy_usage.json";
    write_text(path, c.content);
    UsageStore store(path, clock);
    EXPECT_EQ(store.usage_of(A).total, UsageCounters{}) << c.name;
    EXPECT_EQ(read_text(folder / "proxy_usage.json.bad"), c.content) << c.name;
    store.add_connection(A);
    EXPECT_TRUE(store.save()) << c.name;
  }
}

TEST_F(UsageStoreTest, OddValuesInAReadableFileCountAsZero) {
  write_text(file(), R"({"version": 1, "proxies": {
      "socks5://user-a@10.0.0.1:1080": {"bytes_up": -5, "bytes_down": "many", "connections": 3},
      "http://@10.0.0.2:3128": "garbage"}})");
  UsageStore store(file(), clock);
  EXPECT_EQ(store.usage_of(A).total, (UsageCounters{0, 0, 3}));
  EXPECT_EQ(store.usage_of(B).total, UsageCounters{});
}

TEST_F(UsageStoreTest, SaveWritesOnlyChangesAndReportsAFailedWrite) {
  UsageStore store(file(), clock);
  EXPECT_TRUE(store.save());
  EXPECT_FALSE(std::filesystem::exists(file())) << "nothing counted, nothing written";

  UsageStore unwritable(dir / "missing-folder" / "proxy_usage.json", clock);
  unwritable.add_connection(A);
  EXPECT_FALSE(unwritable.save());
  std::filesystem::create_directory(dir / "missing-folder");
  EXPECT_TRUE(unwritable.save()) << "the counts were kept for the next try";
  EXPECT_TRUE(std::filesystem::exists(dir / "missing-folder" / "proxy_usage.json"));
}

TEST_F(UsageStoreTest, LeastRecentlyUsedProxiesGoBeyondTheLimit) {
  UsageStore store(file(), clock);
  for (std::size_t i = 0; i < UsageStore::MAX_PROXIES + 5; ++i) {
    ++seconds;
    store.add_connection({"socks5", "", "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), 1080});
  }
  ASSERT_TRUE(store.save());
  const Json saved = Json::parse(read_text(file()));
  EXPECT_EQ(saved["proxies"].size(), std::size_t{UsageStore::MAX_PROXIES});
  EXPECT_FALSE(saved["proxies"].contains("socks5://@10.1.0.0:1080")) << "the oldest went";
  EXPECT_TRUE(saved["proxies"].contains("socks5://@10.1.3.236:1080")) << "the newest stayed";
}

TEST_F(UsageStoreTest, SamplerAddsOnlyWhatTheRelaysCarriedSinceTheLastSample) {
  auto store = std::make_shared<UsageStore>(file(), clock);
  UsageSampler sampler(store);
  sampler.sample({{1, A, 100, 1000}, {2, B, 5, 5}});
  sampler.sample({{1, A, 150, 1000}, {2, B, 5, 5}});
  EXPECT_EQ(store->usage_of(A).total, (UsageCounters{150, 1000, 0}));
  EXPECT_EQ(store->usage_of(B).total, (UsageCounters{5, 5, 0}));

  // A hot update: relay 1 retires with its last bytes, relay 3 carries A from zero.
  sampler.sample({{1, A, 160, 1200}, {3, A, 7, 0}});
  EXPECT_EQ(store->usage_of(A).total, (UsageCounters{167, 1200, 0}));
  // A relay id reused by a new relay (its totals went back): all of it is new.
  sampler.sample({{3, A, 2, 2}});
  EXPECT_EQ(store->usage_of(A).total, (UsageCounters{169, 1202, 0}));
  sampler.sample({{3, A, 2, 2}});
  EXPECT_EQ(store->usage_of(A).total, (UsageCounters{169, 1202, 0})) << "nothing new, nothing added";

  const Json entry{{"type", "socks5"}, {"host", "10.0.0.1"}, {"port", 1080}, {"username", "user-a"}};
  UpstreamObserver count = usage_observer(store, entry);
  count({"socks5", "10.0.0.1", 1080, true, false, {}});
  count({"socks5", "10.0.0.1", 1080, false, true, "refused"});
  count({"socks5", "10.0.0.9", 1080, true, false, {}});
  EXPECT_EQ(store->usage_of(A).total.connections, 1u) << "only tunnels that stood, through this relay's own proxy";
}

// Relays count from their connection threads while a timer saves (ThreadSanitizer).
TEST_F(UsageStoreTest, CountingAndSavingFromManyThreads) {
  UsageStore store(file(), clock);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        store.add_connection(A);
        store.add_traffic(A, 1, 2);
        if (i % 200 == 0) store.save();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(store.save());
  EXPECT_EQ(store.usage_of(A).total, (UsageCounters{4000, 8000, 4000}));
  UsageStore reopened(file(), clock);
  EXPECT_EQ(reopened.usage_of(A).total, (UsageCounters{4000, 8000, 4000}));
}

}  // namespace
}  // namespace tovix::pool
