// Dialog workers each create their own client on their own thread, possibly at the same moment,
// and the very first client of the process initialises libcurl.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "tests/api/client_fixture.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

constexpr int kWorkers = 8;

TEST(ClientThreadsTest, ClientsCreatedOnManyThreadsKeepTheirOwnSession) {
  ConsoleFake console;
  console.answer_json("POST", "/console/v1/login", {{"status", 200}, {"data", {{"jwt", "shared"}, {"id", 1}}}});
  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});
  for (int i = 0; i < kWorkers; ++i) {
    FakeAnswer with_cookie = FakeAnswer::json({{"status", 200}});
    with_cookie.headers.emplace_back("Set-Cookie", "sid=worker" + std::to_string(i) + "; Path=/");
    console.answer("GET", "/cookie/" + std::to_string(i), with_cookie);
  }

  std::latch start(kWorkers);
  std::vector<ordered_json> pings(kWorkers);
  std::vector<std::string> ciphers(kWorkers);
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      start.arrive_and_wait();
      ToVixProxyClient client(console.base_url(), "token-" + std::to_string(i));
      client._request("GET", "/cookie/" + std::to_string(i));
      pings[i] = client._request("GET", "/console/v1/ping");
      ciphers[i] = ToVixProxyClient::_encrypt_password("same password");
    });
  }
  for (auto& worker : workers) worker.join();

  int checked = 0;
  for (const RecordedRequest& request : console.requests()) {
    if (request.path != "/console/v1/ping") continue;
    const std::string token = request.header("Authorization").value_or("");
    ASSERT_TRUE(token.starts_with("Bearer token-")) << token;
    const std::string index = token.substr(std::string("Bearer token-").size());
    EXPECT_EQ(request.cookies, (std::map<std::string, std::string>{{"sid", "worker" + index}}));
    ++checked;
  }
  EXPECT_EQ(checked, kWorkers);
  for (int i = 0; i < kWorkers; ++i) {
    EXPECT_EQ(pings[i]["ok"], true);
    EXPECT_EQ(ciphers[i], ciphers[0]);
  }
}

TEST(ClientThreadsTest, ConcurrentSignInsAndFailuresStayApart) {
  ConsoleFake console;
  console.answer_json("POST", "/console/v1/login", {{"status", 200}, {"data", {{"jwt", "j"}, {"id", 5}}}});
  const int refused = refused_port();
  std::latch start(kWorkers);
  std::vector<ordered_json> results(kWorkers);
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      start.arrive_and_wait();
      const bool reachable = i % 2 == 0;
      ToVixProxyClient client(reachable ? console.base_url() : loopback_url("http", refused));
      results[i] = client.login("user", "password");
    });
  }
  for (auto& worker : workers) worker.join();
  for (int i = 0; i < kWorkers; ++i) {
    EXPECT_EQ(results[i]["success"], i % 2 == 0) << results[i].dump();
  }
}

}  // namespace
}  // namespace tovix::testing
