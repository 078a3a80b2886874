#include "engine/pool/proxy_health.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "engine/pool/proxy_selector.h"
#include "tests/engine/pool/pool_test_support.h"

namespace tovix::pool {
namespace {

using namespace std::chrono_literals;
using testing::Json;
using testing::ManualClock;
using testing::proxy_entry;

class ProxyHealthTest : public ::testing::Test {
 protected:
  ProxyHealthTest() { health.set_proxies(Json::array({a, b})); }

  std::vector<HealthEventKind> kinds() const {
    std::vector<HealthEventKind> seen;
    for (const HealthEvent& event : events) seen.push_back(event.kind);
    return seen;
  }
  void fail(const Json& entry, int times) {
    for (int i = 0; i < times; ++i) health.record(identity_of(entry), testing::refused(entry));
  }

  ManualClock clock;
  std::vector<HealthEvent> events;
  ProxyHealth health{clock.function(), [this](const HealthEvent& event) { events.push_back(event); }};
  Json a = proxy_entry("10.0.0.1");
  Json b = proxy_entry("10.0.0.2");
};

// Which outcomes in a row put a proxy down: only handshake failures at the proxy itself count,
// and anything that got through the proxy starts the count again.
TEST_F(ProxyHealthTest, OnlyThreeFailuresAtTheProxyInARowMarkItDown) {
  struct Case {
    const char* name;
    std::string outcomes;  // F failure at the proxy, S success, D destination unreachable
    ProxyState expected;
  };
  const Case cases[] = {
      {"two failures", "FF", ProxyState::up},
      {"three failures", "FFF", ProxyState::down},
      {"success breaks the run", "FFSFF", ProxyState::up},
      {"destination failure proves the proxy works", "FFDFF", ProxyState::up},
      {"run after a success", "FSFFF", ProxyState::down},
      {"success after going down brings it back", "FFFS", ProxyState::up},
      {"destination answer after going down brings it back", "FFFD", ProxyState::up},
      {"many destination failures", "DDDDD", ProxyState::up},
  };
  for (const Case& c : cases) {
    ProxyHealth tracker(clock.function());
    tracker.set_proxies(Json::array({a}));
    for (char step : c.outcomes) {
      const UpstreamOutcome outcome = step == 'F'   ? testing::refused(a)
                                      : step == 'S' ? testing::worked(a)
                                                    : testing::unreachable_destination(a);
      tracker.record(identity_of(a), outcome);
    }
    EXPECT_EQ(tracker.snapshot().at(0).state, c.expected) << c.name;
    EXPECT_EQ(tracker.is_up(0), c.expected == ProxyState::up) << c.name;
  }
}

TEST_F(ProxyHealthTest, DownProxyKeepsItsReasonAndSinceWhen) {
  fail(a, 2);
  clock.advance(5s);
  const auto third_failure = clock.now();
  fail(a, 1);
  clock.advance(5s);
  const auto view = health.view_of(identity_of(a));
  ASSERT_TRUE(view);
  EXPECT_EQ(view->state, ProxyState::down);
  EXPECT_EQ(view->since, third_failure);
  EXPECT_EQ(view->consecutive_failures, 3);
  EXPECT_EQ(view->last_reason, "SOCKS5 proxy 10.0.0.1:1080: connection refused");
  EXPECT_FALSE(health.is_up(0));
  EXPECT_TRUE(health.is_up(1));
  EXPECT_FALSE(health.is_up(2)) << "past the list";
}

TEST_F(ProxyHealthTest, FourthConnectionGoesToTheNextProxyAtOnce) {
  ProxySelector selector(SpreadMode::first_available);
  const auto usable = [this](std::size_t index) { return health.is_up(index); };
  for (int connection = 1; connection <= 3; ++connection) {
    const auto choice = selector.choose({}, 2, usable);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->index, 0u) << "connection " << connection;
    health.record(identity_of(a), testing::refused(a));
  }
  const auto fourth = selector.choose({}, 2, usable);
  ASSERT_TRUE(fourth);
  EXPECT_EQ(fourth->index, 1u);
  EXPECT_TRUE(fourth->usable);
}

// A burst of failing connections with a few getting through (a descriptor limit, a flaky
// line) tells the user once, not once per failure.
TEST_F(ProxyHealthTest, FailureNoticeOncePerEpisode) {
  for (int i = 0; i < 27; ++i) {
    health.record(identity_of(a), testing::refused(a));
    health.record(identity_of(a), testing::worked(a));
  }
  EXPECT_EQ(kinds(), std::vector<HealthEventKind>{HealthEventKind::first_failure});

  events.clear();
  fail(a, 3);
  EXPECT_EQ(kinds(), std::vector<HealthEventKind>{HealthEventKind::marked_down});
  fail(a, 5);
  EXPECT_EQ(kinds().size(), 1u) << "a down proxy's further failures stay quiet";

  events.clear();
  health.record(identity_of(a), testing::worked(a));
  fail(a, 1);
  EXPECT_EQ(kinds(), (std::vector<HealthEventKind>{HealthEventKind::recovered, HealthEventKind::first_failure}))
      << "coming back starts a new episode";
  EXPECT_EQ(events.back().reason, "SOCKS5 proxy 10.0.0.1:1080: connection refused");
}

TEST_F(ProxyHealthTest, AllDownIsToldOnceUntilOneComesBack) {
  fail(a, 3);
  fail(b, 3);
  EXPECT_TRUE(health.all_down());
  fail(a, 3);
  fail(b, 3);
  auto all_down_count = [this] {
    return std::count_if(events.begin(), events.end(),
                         [](const HealthEvent& e) { return e.kind == HealthEventKind::all_down; });
  };
  EXPECT_EQ(all_down_count(), 1);

  health.record_recheck(identity_of(b), true, "");
  EXPECT_FALSE(health.all_down());
  fail(b, 3);
  EXPECT_EQ(all_down_count(), 2) << "a second time everything is down is a new message";
}

TEST_F(ProxyHealthTest, DownProxyIsDueForRecheckEveryPeriod) {
  fail(a, 3);
  EXPECT_TRUE(health.due_for_recheck().empty());
  clock.advance(pool::HEALTH_RECHECK_PERIOD - 1s);
  EXPECT_TRUE(health.due_for_recheck().empty());
  clock.advance(1s);
  const auto due = health.due_for_recheck();
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0], a) << "the whole entry, for the handshake";
  EXPECT_TRUE(health.due_for_recheck().empty()) << "handed out once";

  clock.advance(2s);
  health.record_recheck(identity_of(a), false, "SOCKS5 proxy 10.0.0.1:1080: connection timed out");
  const auto view = health.view_of(identity_of(a));
  EXPECT_EQ(view->state, ProxyState::down);
  EXPECT_EQ(view->last_reason, "SOCKS5 proxy 10.0.0.1:1080: connection timed out");
  clock.advance(pool::HEALTH_RECHECK_PERIOD - 1s);
  EXPECT_TRUE(health.due_for_recheck().empty()) << "the period counts from the last result";
  clock.advance(1s);
  EXPECT_EQ(health.due_for_recheck().size(), 1u);

  health.record_recheck(identity_of(a), true, "");
  EXPECT_TRUE(health.is_up(0));
  EXPECT_EQ(health.view_of(identity_of(a))->since, clock.now());
  clock.advance(pool::HEALTH_RECHECK_PERIOD * 3);
  EXPECT_TRUE(health.due_for_recheck().empty()) << "proxies that are up are not re-checked";
}

TEST_F(ProxyHealthTest, NewListKeepsWhatWasLearntOfTheSameEntries) {
  fail(a, 3);
  const Json c = proxy_entry("10.0.0.3");
  health.set_proxies(Json::array({c, a}));
  EXPECT_TRUE(health.is_up(0));
  EXPECT_FALSE(health.is_up(1)) << "the entry moved but stays down";

  Json a_new_password = a;
  a_new_password["password"] = "mended";
  health.set_proxies(Json::array({a_new_password}));
  EXPECT_TRUE(health.is_up(0)) << "a changed password may have mended it";

  health.set_proxies(Json::array());
  EXPECT_FALSE(health.all_down()) << "an empty list is not 'all down'";
}

TEST_F(ProxyHealthTest, SameProxyTwiceInTheListSharesItsHealth) {
  health.set_proxies(Json::array({a, b, a}));
  fail(a, 3);
  EXPECT_FALSE(health.is_up(0));
  EXPECT_TRUE(health.is_up(1));
  EXPECT_FALSE(health.is_up(2));
  clock.advance(pool::HEALTH_RECHECK_PERIOD);
  EXPECT_EQ(health.due_for_recheck().size(), 1u) << "one check serves both";
}

TEST_F(ProxyHealthTest, OtherAccountAtTheSameGatewayIsAnotherProxy) {
  const Json other_user = proxy_entry("10.0.0.1", 1080, "second-account");
  health.set_proxies(Json::array({a, other_user}));
  fail(a, 3);
  EXPECT_FALSE(health.is_up(0));
  EXPECT_TRUE(health.is_up(1));
}

TEST_F(ProxyHealthTest, ResetStartsEveryProxyAfresh) {
  fail(a, 3);
  fail(b, 1);
  health.reset();
  EXPECT_TRUE(health.is_up(0));
  events.clear();
  fail(b, 1);
  EXPECT_EQ(kinds(), std::vector<HealthEventKind>{HealthEventKind::first_failure});
  EXPECT_EQ(health.view_of(identity_of(b))->consecutive_failures, 1);
}

TEST_F(ProxyHealthTest, ObserverFeedsTheRelaysOutcomesUnderTheEntrysIdentity) {
  auto shared = std::make_shared<ProxyHealth>(clock.function());
  shared->set_proxies(Json::array({a}));
  UpstreamObserver observer = health_observer(shared, a);
  // A connection the relay sent through another proxy says nothing about this one.
  for (int i = 0; i < 3; ++i) observer(testing::refused(proxy_entry("10.9.9.9")));
  EXPECT_TRUE(shared->is_up(0));
  EXPECT_EQ(shared->view_of(identity_of(a))->consecutive_failures, 0);
  for (int i = 0; i < 3; ++i) observer(testing::refused(a));
  EXPECT_FALSE(shared->is_up(0));
  shared->detach();
}

TEST_F(ProxyHealthTest, ReCheckPeriodIsTheTrackersOwn) {
  ProxyHealth quick(clock.function(), {}, std::chrono::milliseconds(500));
  quick.set_proxies(Json::array({a}));
  for (int i = 0; i < pool::FAILURES_TO_MARK_DOWN; ++i) quick.record(identity_of(a), testing::refused(a));
  clock.advance(std::chrono::milliseconds(499));
  EXPECT_TRUE(quick.due_for_recheck().empty());
  clock.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(quick.due_for_recheck().size(), 1u);
}

// Relays report from their connection threads while the packet thread asks and the window
// takes snapshots (run under ThreadSanitizer).
TEST(ProxyHealthThreads, ReportsAndQuestionsFromManyThreads) {
  ManualClock clock;
  std::atomic<int> told{0};
  auto health = std::make_shared<ProxyHealth>(clock.function(), [&told](const HealthEvent&) { ++told; });
  const Json a = proxy_entry("10.0.0.1"), b = proxy_entry("10.0.0.2");
  health->set_proxies(Json::array({a, b}));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        health->record(identity_of(a), t % 2 == 0 ? testing::refused(a) : testing::worked(a));
        health->record(identity_of(b), testing::refused(b));
        (void)health->is_up(static_cast<std::size_t>(i % 2));
        (void)health->snapshot();
        if (i % 50 == 0) (void)health->due_for_recheck();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(health->is_up(1));
  EXPECT_GT(told.load(), 0);
}

}  // namespace
}  // namespace tovix::pool
