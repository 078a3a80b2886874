#include <gtest/gtest.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include "app/insight/proxy_check_panel.h"
#include "app/insight/proxy_check_service.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::insight {
namespace {

using Json = nlohmann::ordered_json;

constexpr int RESULT_WAIT_MS = 60000;

void answer_address(Socket& connection) {
  while (testing::receive_some(connection).find("\r\n\r\n") == std::string::npos) {
  }
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nIP\t: 198.51.100.77  来自: 测试\n";
  connection.send_all(answer.data(), answer.size());
}

std::optional<std::string> line_format(std::string_view body) {
  // "IP : address" as the line-format services answer.
  const auto colon = body.find(':');
  const auto end = body.find("  ", colon);
  return std::string(body.substr(colon + 2, end - colon - 2));
}

TEST(ProxyCheckPanel, ChecksEachProxyOffTheGuiThreadAndMarksTheOneThatFailed) {
  testing::MicrosocksProxy socks;
  testing::TinyproxyProxy http;
  testing::LoopbackServer ip_service(answer_address);
  ProxyCheckService service(
      std::vector<IpSource>{{"http://127.0.0.1:" + std::to_string(ip_service.port()) + "/", line_format}});
  ProxyCheckPanel panel(&service);
  const Json proxies = Json::array({
      {{"type", "socks5"},
       {"host", "127.0.0.1"},
       {"port", socks.port()},
       {"username", testing::PROXY_USER},
       {"password", testing::PROXY_PASSWORD}},
      {{"type", "http"},
       {"host", "127.0.0.1"},
       {"port", http.port()},
       {"username", testing::PROXY_USER},
       {"password", "expired-password"}},
  });
  panel.set_proxies(proxies);
  QTableWidget* table = panel.table();
  EXPECT_EQ(table->item(1, ProxyCheckPanel::RESULT)->text(), "未检测");
  EXPECT_EQ(table->item(1, ProxyCheckPanel::PROXY)->text(),
            QString(testing::PROXY_USER) + "@127.0.0.1:" + QString::number(http.port()));

  QSignalSpy finished(&service, &ProxyCheckService::check_finished);
  QTest::mouseClick(panel.check_all_button(), Qt::LeftButton);
  EXPECT_EQ(table->item(0, ProxyCheckPanel::RESULT)->text(), "检测中...");
  EXPECT_FALSE(panel.check_button(0)->isEnabled()) << "no second check of a proxy under check";
  while (finished.count() < 2) ASSERT_TRUE(finished.wait(RESULT_WAIT_MS));

  EXPECT_EQ(table->item(0, ProxyCheckPanel::EXIT_ADDRESS)->text(), "198.51.100.77");
  EXPECT_TRUE(table->item(0, ProxyCheckPanel::LATENCY)->text().endsWith(" ms"));
  EXPECT_EQ(table->item(0, ProxyCheckPanel::RESULT)->text(), "可用");
  EXPECT_EQ(table->item(0, ProxyCheckPanel::UDP)->text(), "不支持") << "microsocks refuses UDP ASSOCIATE";
  EXPECT_EQ(table->item(1, ProxyCheckPanel::UDP)->text(), "") << "not reached, not told";
  const QString failure = table->item(1, ProxyCheckPanel::RESULT)->text();
  EXPECT_TRUE(failure.startsWith("失败: ")) << failure.toStdString();
  EXPECT_FALSE(failure.contains("proxy 127.0.0.1")) << "the row names the proxy already: " << failure.toStdString();
  EXPECT_FALSE(failure.contains("expired-password"));
  EXPECT_TRUE(service.failed_last_check(proxy_key(proxies[1])));
  EXPECT_FALSE(service.failed_last_check(proxy_key(proxies[0])));
  EXPECT_NE(table->item(1, ProxyCheckPanel::PROXY)->foreground().color(),
            table->item(0, ProxyCheckPanel::PROXY)->foreground().color());
  EXPECT_TRUE(panel.check_button(1)->isEnabled());

  panel.set_proxies(Json::array({proxies[1]}));
  EXPECT_TRUE(table->item(0, ProxyCheckPanel::RESULT)->text().startsWith("失败: ")) << "results survive a list change";
}

TEST(ProxyCheckService, DestroyedWhileAProxyIsUnderCheckReportsNothingAndDoesNotWait) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto service = std::make_unique<ProxyCheckService>([released](const Json&) {
    released.wait();
    return ProxyCheckResult{};
  });
  service->check(Json::object());
  service.reset();
  release.set_value();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovix::insight
