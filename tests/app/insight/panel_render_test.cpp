// Renders the panels with live-looking data to PNG files for a person to look at; the pictures
// go where TOVIX_RENDER_DIR points, and the test does nothing without it.
#include <gtest/gtest.h>

#include <QDir>
#include <QTableView>

#include <cmath>

#include "app/insight/connections_panel.h"
#include "app/insight/traffic_panel.h"

namespace tovix::insight {
namespace {

TEST(PanelRender, ConnectionsAndTrafficWithData) {
  const QString dir = qEnvironmentVariable("TOVIX_RENDER_DIR");
  if (dir.isEmpty()) GTEST_SKIP() << "TOVIX_RENDER_DIR not set";
  double now = 10'000.0;
  std::vector<ConnectionSample> live{
      {50001, 4242, "chrome.exe", "142.250.72.14:443", "103.45.12.8:1080", 18'300, 2'450'000, now - 75,
       "www.google.com", ""},
      {50002, 4242, "chrome.exe", "151.101.1.69:443", "103.45.12.8:1080", 2'100, 48'000, now - 12, "", ""},
      {50003, 880, "WeChat.exe", "203.205.239.82:80", "58.218.92.3:8080", 640, 1'200, now - 3, "weixin.qq.com",
       "规则 1：微信走二号代理"},
      {50004, 0, "", "192.168.1.20:9100", "", 0, 0, now - 1, "", "规则 5：局域网直连"}};
  ConnectionsPanel connections([&] { return live; }, [&] { return now; });
  connections.resize(760, 260);
  connections.refresh();
  live.erase(live.begin() + 1);  // one connection just ended: it fades
  now += 1.0;
  connections.refresh();
  EXPECT_TRUE(connections.grab().save(QDir(dir).filePath("connections.png")));

  TrafficReading reading;
  TrafficPanel traffic([&] { return reading; }, [&] { return now; });
  traffic.resize(760, 260);
  for (int second = 0; second < 600; ++second) {
    const double burst = second > 240 && second < 420 ? 400'000.0 : 60'000.0;
    reading.total.download += static_cast<std::uint64_t>(burst * (1.0 + 0.4 * std::sin(second / 9.0)));
    reading.total.upload += static_cast<std::uint64_t>(12'000.0 * (1.0 + 0.5 * std::cos(second / 13.0)));
    reading.per_proxy["103.45.12.8:1080"] = reading.total;
    if (second == 300) now += 20.0;  // the engine was off for a while: a gap
    now += 1.0;
    traffic.sample();
  }
  EXPECT_TRUE(traffic.grab().save(QDir(dir).filePath("traffic.png")));
}

}  // namespace
}  // namespace tovix::insight
