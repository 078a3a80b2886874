// The owner of a real connection, found through this machine's own process queries.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "app/insight/program_resolver.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"

namespace tovix::insight {
namespace {

TEST(ProgramResolverRealProcessTest, NamesCurlByItsClientPort) {
  std::mutex lock;
  std::condition_variable accepted;
  int client_port = 0;
  testing::LoopbackServer server([&](Socket& connection) {
    {
      std::lock_guard guard(lock);
      client_port = connection.peer_address().second;
    }
    accepted.notify_all();
    testing::never_answer()(connection);
  });
  // Bound to a port outside the ephemeral range, so no other connection on this machine shares
  // it (the table names one owner per local port).
  testing::ChildProcess curl({"/usr/bin/curl", "-s", "-o", "/dev/null", "-m", "60", "--local-port", "20000-29999",
                              "http://127.0.0.1:" + std::to_string(server.port()) + "/"});
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(accepted.wait_for(guard, std::chrono::seconds(30), [&] { return client_port != 0; }));
  }

  ProgramResolver resolver(platform_process_queries());
  std::vector<ConnectionSample> live(1);
  live[0].client_port = client_port;
  live[0].started_at = 1.0;
  resolver.fill_in(live);
  ASSERT_TRUE(resolver.wait_idle(std::chrono::seconds(10)));
  resolver.fill_in(live);
  EXPECT_EQ(live[0].program, "curl");
  EXPECT_NE(live[0].pid, 0u);
}

}  // namespace
}  // namespace tovix::insight
