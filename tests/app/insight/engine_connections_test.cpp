// The connections table and the traffic reading fed from a running engine: FakeDiverter hands
// the engine the SYN, a real client socket talks to the relay the engine chose, and the relay
// tunnels through a real microsocks to a loopback echo server.
#include <gtest/gtest.h>

#include "app/insight/connections_model.h"
#include "app/insight/connections_panel.h"

#include <QTableView>
#include "app/insight/engine_readings.h"
#include "tests/app/insight/diverted_connection.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::insight {
namespace {

using namespace tovix::testing;
using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

constexpr auto WAIT = 30s;

class EngineConnectionsTest : public ::testing::Test {
 protected:
  EngineConnectionsTest() {
    queries->add_process(4242, "chrome.exe");
    EngineOptions options;
    options.diverter_factory = source.factory();
    options.process_queries = queries;
    options.clock = clock.clock();
    options.cleanup_period = std::chrono::hours(1);
    engine = std::make_unique<TunnelEngine>(options);
    recorder.attach(*engine);
    const Json proxy{{"type", "socks5"},
                     {"host", "127.0.0.1"},
                     {"port", socks.port()},
                     {"username", PROXY_USER},
                     {"password", PROXY_PASSWORD}};
    engine->start_engine(Json{{"proxy_list", Json::array({proxy})}, {"process_list", Json::array()}});
    EXPECT_TRUE(recorder.wait_for_status_prefix(STATUS_STARTED_PREFIX, WAIT));
    fake = source.wait_for(0);
  }
  ~EngineConnectionsTest() override { engine.reset(); }

  // A diverted connection of process 4242 towards the echo server, connected to its relay.
  std::shared_ptr<Socket> open_connection() { return open_diverted_connection(*fake, echo.port(), 4242); }
  static void echo_round(Socket& socket, const std::string& text) {
    socket.send_all(text.data(), text.size());
    EXPECT_EQ(receive_up_to(socket, text.size()), text);
  }
  QString cell(int row, int column) const { return panel.rows()->index(row, column).data().toString(); }
  // Refreshes until `condition` holds: the relay counts a chunk just after forwarding it.
  bool refreshed_until(const std::function<bool()>& condition) {
    return eventually(
        [&] {
          panel.refresh();
          return condition();
        },
        WAIT);
  }

  MicrosocksProxy socks;
  LoopbackServer echo{greet_then_echo()};
  DiverterSource source;
  ManualClock clock{2'000'000.0};
  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  std::unique_ptr<TunnelEngine> engine;
  TextRecorder recorder;
  std::shared_ptr<FakeDiverter> fake;
  ConnectionsPanel panel{[this] { return connection_samples(engine->snapshot()); }, [this] { return clock.now(); }};
};

TEST_F(EngineConnectionsTest, RowsAppearCountTheirBytesAndGoAfterTheConnectionEnds) {
  panel.table()->sortByColumn(ConnectionsModel::UPLOAD, Qt::DescendingOrder);  // the busier connection first
  auto first = open_connection();
  echo_round(*first, "hello");
  ASSERT_TRUE(
      refreshed_until([&] { return panel.rows()->rowCount() == 1 && cell(0, ConnectionsModel::UPLOAD) == "5 B"; }));
  EXPECT_EQ(cell(0, ConnectionsModel::PROGRAM), "chrome.exe");
  EXPECT_EQ(cell(0, ConnectionsModel::DESTINATION), "127.0.0.1:" + QString::number(echo.port()));
  EXPECT_EQ(cell(0, ConnectionsModel::PROXY), "127.0.0.1:" + QString::number(socks.port()));

  auto second = open_connection();
  echo_round(*first, std::string(3000, 'x'));
  ASSERT_TRUE(refreshed_until([&] {
    return panel.rows()->rowCount() == 2 && cell(0, ConnectionsModel::DOWNLOAD) == "2.93 KB";
  })) << cell(0, ConnectionsModel::DOWNLOAD).toStdString();
  clock.advance(65.0);
  panel.refresh();
  EXPECT_EQ(cell(0, ConnectionsModel::DURATION), "1:05");

  const TrafficReading traffic = traffic_reading(engine->snapshot());
  EXPECT_EQ(traffic.total.upload, 3005u);
  EXPECT_EQ(traffic.per_proxy.at("127.0.0.1:" + std::to_string(socks.port())).download, 3005u);

  first->close();
  ASSERT_TRUE(refreshed_until([&] {
    return panel.rows()->index(0, 0).data(Qt::ForegroundRole).value<QColor>().alphaF() < 1.0;
  })) << "the ended connection fades";
  EXPECT_EQ(panel.rows()->rowCount(), 2);
  clock.advance(ConnectionLedger::FADE_SECONDS);
  panel.refresh();
  ASSERT_EQ(panel.rows()->rowCount(), 1);
  second->close();
}

}  // namespace
}  // namespace tovix::insight
