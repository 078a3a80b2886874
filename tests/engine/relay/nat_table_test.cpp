#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/relay/nat_table.h"

namespace tovix {
namespace {

NatEntry entry_to(const std::string& dst_ip, int dst_port, double created_at = 1.0) {
  return {"192.168.1.5", dst_ip, dst_port, created_at, 0};
}

TEST(NatTableTest, EntriesAreStoredReplacedAndRemovedByClientPort) {
  NatTable table;
  EXPECT_FALSE(table.get(50000).has_value());
  table.set(50000, entry_to("1.2.3.4", 443));
  table.set(50000, entry_to("5.6.7.8", 80));
  ASSERT_TRUE(table.get(50000).has_value());
  EXPECT_EQ(table.get(50000)->original_dst_ip, "5.6.7.8");
  EXPECT_EQ(table.size(), 1u);
  EXPECT_TRUE(table.remove(50000));
  EXPECT_FALSE(table.remove(50000));
}

TEST(NatTableTest, FinishedConnectionDoesNotRemoveTheEntryOfANewerOneOnTheSamePort) {
  NatTable table;
  const NatEntry old_connection = entry_to("1.2.3.4", 443, 10.0);
  const NatEntry new_connection = entry_to("1.2.3.4", 443, 11.0);
  table.set(50000, new_connection);
  EXPECT_FALSE(table.remove_if_same(50000, old_connection));
  EXPECT_EQ(table.get(50000), new_connection);
  EXPECT_TRUE(table.remove_if_same(50000, new_connection));
  EXPECT_FALSE(table.contains(50000));
}

// One diverted connection, one relay connection: whoever else comes with the same port number gets
// nothing, until the engine records a new connection on that port.
TEST(NatTableTest, EachEntryIsClaimedByOneRelayConnection) {
  NatTable table;
  EXPECT_FALSE(table.claim(50000).entry.has_value());
  EXPECT_FALSE(table.claim(50000).already_claimed);
  const NatEntry first = entry_to("1.2.3.4", 443, 10.0);
  table.set(50000, first);
  EXPECT_EQ(table.claim(50000).entry, first);
  const NatClaim again = table.claim(50000);
  EXPECT_FALSE(again.entry.has_value());
  EXPECT_TRUE(again.already_claimed);
  EXPECT_EQ(table.get(50000), first) << "a claim leaves the entry for the engine to read";

  const NatEntry second = entry_to("1.2.3.4", 443, 11.0);
  table.set(50000, second);
  EXPECT_EQ(table.claim(50000).entry, second);
  EXPECT_TRUE(table.remove_if_same(50000, second));
  EXPECT_FALSE(table.claim(50000).already_claimed);
}

TEST(NatTableTest, RemoveWhereTakesOnlyMatchingEntries) {
  NatTable table;
  table.set(1, entry_to("1.1.1.1", 1, 100.0));
  table.set(2, entry_to("1.1.1.1", 1, 221.0));
  EXPECT_EQ(table.remove_where([](int, const NatEntry& e) { return 341.0 - e.created_at > 120; }), 1u);
  EXPECT_FALSE(table.contains(1));
  EXPECT_TRUE(table.contains(2));
}

// Writers, readers and removers at once, the way the packet thread and the relays meet.
TEST(NatTableTest, ConcurrentSingleOperationsKeepTheTableConsistent) {
  NatTable table;
  constexpr int kPorts = 2000;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int port = 0; port < kPorts; ++port) table.set(port, entry_to("9.9.9.9", port));
  });
  threads.emplace_back([&] {
    for (int round = 0; round < 3; ++round) {
      for (int port = 0; port < kPorts; ++port) {
        if (auto found = table.get(port)) {
          EXPECT_EQ(found->original_dst_port, port);
        }
      }
    }
  });
  threads.emplace_back([&] {
    for (int port = 0; port < kPorts; port += 2) {
      std::lock_guard compound(table.compound_lock());
      table.remove(port);
    }
  });
  for (auto& t : threads) t.join();
  table.remove_where([](int port, const NatEntry&) { return port % 2 == 0; });
  EXPECT_EQ(table.size(), static_cast<std::size_t>(kPorts / 2));
  table.clear();
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
}  // namespace tovix
