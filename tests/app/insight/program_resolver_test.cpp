// Naming the owners of connections the engine left unnamed, with scripted process queries.
#include "app/insight/program_resolver.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/engine/process/process_queries_fake.h"

namespace tovix::insight {
namespace {

using tovix::testing::connection;
using tovix::testing::FakeProcessQueries;

constexpr std::chrono::seconds WAIT{10};

ConnectionSample unnamed(int client_port, double started_at = 100.0, std::uint32_t pid = 0) {
  ConnectionSample sample;
  sample.client_port = client_port;
  sample.pid = pid;
  sample.started_at = started_at;
  sample.destination = "93.184.216.34:443";
  return sample;
}

class ProgramResolverTest : public ::testing::Test {
 protected:
  // One refresh of the table: what it shows once the look-ups it started have come in. The
  // second pass may ask again for what is still unknown; that try ends before the next refresh.
  std::vector<ConnectionSample> refresh(std::vector<ConnectionSample> live) {
    resolver.fill_in(live);
    EXPECT_TRUE(resolver.wait_idle(WAIT));
    resolver.fill_in(live);
    EXPECT_TRUE(resolver.wait_idle(WAIT));
    return live;
  }

  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  ProgramResolver resolver{queries};
};

TEST_F(ProgramResolverTest, NamesTheOwnerOfTheClientPortOncePerConnection) {
  queries->add_process(4100, "curl.exe");
  queries->add_process(4200, "chrome.exe");
  queries->set_connections({connection(50001, 4100), connection(50002, 4200)});

  auto live = refresh({unnamed(50001), unnamed(50002)});
  EXPECT_EQ(live[0].program, "curl.exe");
  EXPECT_EQ(live[0].pid, 4100u);
  EXPECT_EQ(live[1].program, "chrome.exe");
  EXPECT_EQ(queries->tcp_calls(), 1u) << "one walk of the table for the whole refresh";

  for (int second = 0; second < 5; ++second) live = refresh({unnamed(50001), unnamed(50002)});
  EXPECT_EQ(live[1].program, "chrome.exe");
  EXPECT_EQ(queries->tcp_calls(), 1u) << "a named connection is not looked up again";
  EXPECT_EQ(queries->image_name_calls(), 2u);
}

TEST_F(ProgramResolverTest, AUdpSocketIsNotNamedAfterTheTcpConnectionOnItsPortNumber) {
  queries->add_process(4100, "curl.exe");
  queries->set_connections({connection(50001, 4100)});
  ConnectionSample udp = unnamed(50001, 100.5);
  udp.udp = true;
  auto live = refresh({udp});
  EXPECT_EQ(live[0].program, "");
  EXPECT_EQ(live[0].pid, 0u);
  EXPECT_EQ(queries->tcp_calls(), 0u);
}

TEST_F(ProgramResolverTest, PicksTheOwnerAsThePortMonitorDoes) {
  struct Case {
    const char* what;
    std::vector<TcpConnection> table;
    std::string program;
  };
  queries->add_process(1, "listener.exe");
  queries->add_process(2, "curl.exe");
  queries->add_process(3, "later.exe");
  const std::vector<Case> cases = {
      {"a listener on the port is not the client", {connection(50010, 1, "LISTEN"), connection(50010, 2)}, "curl.exe"},
      {"a socket without an owner is skipped", {connection(50010, 0), connection(50010, 2)}, "curl.exe"},
      {"the first one listed wins", {connection(50010, 2), connection(50010, 3, "TIME_WAIT")}, "curl.exe"},
      {"a socket being opened counts", {connection(50010, 2, "SYN_SENT")}, "curl.exe"},
      {"another port is not this one", {connection(50011, 2)}, ""},
  };
  double started = 1.0;
  for (const Case& c : cases) {
    queries->set_connections(c.table);
    started += 1.0;  // a new connection each time, so each one is looked up
    EXPECT_EQ(refresh({unnamed(50010, started)})[0].program, c.program) << c.what;
  }
}

TEST_F(ProgramResolverTest, TriesAFewTimesThenLeavesTheConnectionUnknown) {
  queries->add_process(4100, "curl.exe");
  auto live = refresh({unnamed(50001)});
  EXPECT_EQ(live[0].program, "");
  queries->set_connections({connection(50001, 4100)});  // the socket shows up a moment later
  live = refresh({unnamed(50001)});
  EXPECT_EQ(live[0].program, "curl.exe");

  queries->fail_connections("table unreadable");  // a failed query counts as a try
  const std::size_t before = queries->tcp_calls();
  for (int second = 0; second < 10; ++second) EXPECT_EQ(refresh({unnamed(50099)})[0].program, "");
  EXPECT_EQ(queries->tcp_calls() - before, std::size_t{ProgramResolver::MAX_TRIES}) << "not retried endlessly";
}

TEST_F(ProgramResolverTest, EngineKnowledgeIsKeptAndUsed) {
  queries->add_process(4300, "game.exe");
  ConnectionSample named = unnamed(50001);
  named.program = "firefox.exe";
  named.pid = 4200;
  // Process mode: the owner is known but its name could not be read when the engine looked.
  auto live = refresh({named, unnamed(50002, 100.0, 4300)});
  EXPECT_EQ(live[0].program, "firefox.exe");
  EXPECT_EQ(live[1].program, "game.exe");
  EXPECT_EQ(live[1].pid, 4300u);
  EXPECT_EQ(queries->tcp_calls(), 0u) << "no table walk when every owner is known";
}

TEST_F(ProgramResolverTest, ReusedPortIsANewConnection) {
  queries->add_process(4100, "curl.exe");
  queries->add_process(4200, "wget.exe");
  queries->set_connections({connection(50001, 4100)});
  EXPECT_EQ(refresh({unnamed(50001, 100.0)})[0].program, "curl.exe");
  queries->set_connections({connection(50001, 4200)});
  EXPECT_EQ(refresh({unnamed(50001, 200.0)})[0].program, "wget.exe");
}

TEST_F(ProgramResolverTest, OwnerWithoutReadableNameShowsItsPid) {
  queries->add_process(4100, std::nullopt);  // access denied
  queries->set_connections({connection(50001, 4100)});
  auto live = refresh({unnamed(50001)});
  EXPECT_EQ(live[0].program, "");
  EXPECT_EQ(live[0].pid, 4100u);
}

TEST(ProgramResolverThreadTest, FillInNeverWaitsForALookUpAndTheResolverEndsCleanly) {
  auto queries = std::make_shared<FakeProcessQueries>();
  queries->add_process(4100, "curl.exe");
  queries->set_connections({connection(50001, 4100)});
  queries->close_gate();
  auto resolver = std::make_unique<ProgramResolver>(queries);
  std::vector<ConnectionSample> live = {unnamed(50001)};
  resolver->fill_in(live);
  ASSERT_TRUE(queries->wait_until_held(WAIT));
  resolver->fill_in(live);  // the table walk is held: the caller goes on
  EXPECT_EQ(live[0].program, "");
  EXPECT_FALSE(resolver->wait_idle(std::chrono::milliseconds(0)));
  // Dropping the resolver mid-walk waits for that walk, then joins its thread.
  std::thread opener([&] { queries->open_gate(); });
  resolver.reset();
  opener.join();
  EXPECT_EQ(queries->tcp_calls(), 1u);
}

}  // namespace
}  // namespace tovix::insight
