// TunnelCore, the QThread adapter: the engine's texts arrive as the two signals, queued to the
// receiver's thread, in the order the engine gave them.
#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>

#include <gtest/gtest.h>

#include "engine/core/tunnel_core.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/engine/process/process_queries_fake.h"

namespace tovix {
namespace {

using namespace tovix::testing;
using Json = nlohmann::ordered_json;

struct Received {
  QStringList texts;
  bool all_on_receiver_thread = true;
};

void record(TunnelCore& core, QObject& receiver, Received& received) {
  QObject::connect(&core, &TunnelCore::status_changed, &receiver, [&](const QString& text) {
    received.texts << "status: " + text;
    received.all_on_receiver_thread = received.all_on_receiver_thread && QThread::currentThread() == receiver.thread();
  });
  QObject::connect(&core, &TunnelCore::error_occurred, &receiver, [&](const QString& text) {
    received.texts << "error: " + text;
    received.all_on_receiver_thread = received.all_on_receiver_thread && QThread::currentThread() == receiver.thread();
  });
}

bool pump_until(const std::function<bool()>& condition, int ms = 30000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition() && timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return condition();
}

TEST(TunnelCoreTest, EmptyProxyListErrorThenStoppedOnTheReceiversThread) {
  TunnelCore core;
  QObject receiver;
  Received received;
  record(core, receiver, received);
  core.start_engine(Json{{"proxy_list", Json::array()}});
  ASSERT_TRUE(pump_until([&] { return received.texts.size() >= 2; }));
  ASSERT_TRUE(core.wait(30000));
  EXPECT_EQ(received.texts, (QStringList{"error: 代理列表为空，无法启", "status: 已停"}));
  EXPECT_TRUE(received.all_on_receiver_thread);
}

TEST(TunnelCoreTest, StartStopAndStartAgain) {
  DiverterSource source;
  EngineOptions options;
  options.diverter_factory = source.factory();
  options.process_queries = std::make_shared<FakeProcessQueries>();
  TunnelCore core(nullptr, options);
  QObject receiver;
  Received received;
  record(core, receiver, received);
  const Json config{{"proxy_list", Json::array({Json{{"host", "127.0.0.1"}, {"port", 1}}})}};
  core.start_engine(config);
  ASSERT_TRUE(pump_until([&] { return received.texts.size() >= 1; }));
  EXPECT_TRUE(received.texts[0].startsWith("status: 代理已启?| 全局代理 | 1IP轮询 | 中继:"))
      << received.texts[0].toStdString();
  core.stop_engine();
  core.start_engine(config);
  ASSERT_TRUE(pump_until([&] { return received.texts.size() >= 4; }));
  EXPECT_EQ(received.texts[1], "status: 已停");
  EXPECT_EQ(received.texts[2], "status: 已停");
  EXPECT_TRUE(received.texts[3].startsWith("status: 代理已启?| ")) << received.texts[3].toStdString();
  EXPECT_EQ(source.made(), 2u);
  EXPECT_TRUE(core.isRunning());
  EXPECT_EQ(core.get_traffic_stats(), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
  EXPECT_TRUE(received.all_on_receiver_thread);
}

}  // namespace
}  // namespace tovix
