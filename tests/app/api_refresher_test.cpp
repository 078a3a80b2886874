// The API mode's fetch of the extraction link, against a loopback server.
#include <gtest/gtest.h>
#include <QSignalSpy>
#include <QTest>

#include "app/core/api_refresher.h"
#include "app/core/proxy_text.h"
#include "tests/support/console_fake.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
constexpr int WAIT_MS = 30000;

FakeAnswer text_answer(const std::string& body, int status = 200) {
  FakeAnswer answer;
  answer.status = status;
  answer.body = body;
  answer.content_type = "text/plain";
  return answer;
}

TEST(ApiRefresher, FetchesAtOnceAndAgainOnRequest) {
  ConsoleFake server;
  server.answer("GET", "/api/get_proxy", text_answer("10.1.0.1:1080\r\n10.1.0.2:1081:own:pw\r\n"));
  app::ApiRefresher refresher;
  QSignalSpy fetched(&refresher, &app::ApiRefresher::proxies_fetched);
  QSignalSpy failed(&refresher, &app::ApiRefresher::fetch_failed);
  // An hour: only the fetches asked for below run in this test.
  refresher.start({server.base_url() + "/api/get_proxy?num=2", "http", "apiU", "apiP"}, 3600);
  ASSERT_TRUE(fetched.wait(WAIT_MS));
  EXPECT_EQ(fetched[0][0].value<Json>(), Json::array({app::make_proxy_entry("http", "10.1.0.1", 1080, "apiU", "apiP"),
                                                      app::make_proxy_entry("http", "10.1.0.2", 1081, "own", "pw")}));
  EXPECT_EQ(server.last().query, "num=2");

  // A refresh asked for as an answer comes in (its thread still winding down) runs too. Here
  // the vendor answers it with an error as JSON: reported, nothing handed on.
  QObject::connect(&refresher, &app::ApiRefresher::proxies_fetched, &refresher, [&] {
    server.answer("GET", "/api/get_proxy", FakeAnswer::json({{"code", 1}, {"msg", "请求过于频繁"}}));
    refresher.fetch_now();
  });
  refresher.fetch_now();
  ASSERT_TRUE(failed.wait(WAIT_MS));
  EXPECT_EQ(failed[0][0].toString(), QStringLiteral("提取接口返回: 请求过于频繁"));
  EXPECT_EQ(fetched.count(), 2);
  refresher.stop();
  EXPECT_FALSE(refresher.is_active());
}

TEST(ApiRefresher, TransportFailuresAndRefusalsAreReported) {
  ConsoleFake server;
  server.answer("GET", "/api/get_proxy", text_answer("forbidden", 403));
  app::ApiRefresher refresher;
  QSignalSpy failed(&refresher, &app::ApiRefresher::fetch_failed);
  refresher.start({server.base_url() + "/api/get_proxy", "socks5", "", ""}, 30);
  ASSERT_TRUE(failed.wait(WAIT_MS));
  EXPECT_EQ(failed[0][0].toString(), QStringLiteral("服务器返回 403"));

  app::ApiRefresher nowhere;
  QSignalSpy unreachable(&nowhere, &app::ApiRefresher::fetch_failed);
  nowhere.start({"http://127.0.0.1:" + std::to_string(free_loopback_port()) + "/x", "socks5", "", ""}, 1);
  EXPECT_EQ(nowhere.interval_seconds(), app::API_MIN_INTERVAL_SECONDS) << "raised, not hammering the vendor";
  ASSERT_TRUE(unreachable.wait(WAIT_MS));
  EXPECT_TRUE(unreachable[0][0].toString().startsWith(QStringLiteral("无法连接")))
      << unreachable[0][0].toString().toStdString();
}

}  // namespace
}  // namespace tovix::testing
