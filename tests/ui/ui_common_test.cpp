#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include "ui/console_worker.h"
#include "ui/result_values.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace {

using nlohmann::ordered_json;

// A worker whose request blocks until the test lets it go, then reports.
class GatedWorker : public QThread {
  Q_OBJECT
 public:
  QSemaphore gate;

 signals:
  void result_ready(int value);

 protected:
  void run() override {
    gate.acquire();
    emit result_ready(42);
  }
};

class Receiver : public QObject {
  Q_OBJECT
 public:
  int results = 0;
 public slots:
  void on_result(int) { ++results; }
};

void run_deferred_deletions() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

TEST(WorkerSlot, ARunningWorkerIsCutOffAndLivesUntilItsThreadEnds) {
  Receiver receiver;
  QPointer<GatedWorker> slot = new GatedWorker;
  QObject::connect(slot, &GatedWorker::result_ready, &receiver, &Receiver::on_result);
  GatedWorker* worker = slot.data();
  QPointer<GatedWorker> watch = worker;
  worker->start();

  tovix::ui::release_worker(slot, &receiver, 50);
  EXPECT_TRUE(slot.isNull());
  run_deferred_deletions();
  ASSERT_FALSE(watch.isNull()) << "destroyed while its thread still runs";
  EXPECT_EQ(tovix::ui::running_released_workers(), 1);

  worker->gate.release();
  ASSERT_TRUE(tovix::ui::wait_for_released_workers(5000));
  for (int i = 0; i < 100 && !watch.isNull(); ++i) {
    QThread::msleep(10);
    run_deferred_deletions();
  }
  EXPECT_TRUE(watch.isNull()) << "never released after its thread ended";
  EXPECT_EQ(receiver.results, 0) << "a released worker's result reached the dialog";
}

TEST(WorkerSlot, IdleOrFinishedWorkersAreDeletedAtOnceAndNullIsIgnored) {
  QPointer<GatedWorker> never_started = new GatedWorker;
  QPointer<GatedWorker> watch_idle = never_started;
  tovix::ui::release_worker(never_started, nullptr);

  auto* finished = new GatedWorker;
  QPointer<GatedWorker> watch_finished = finished;
  finished->gate.release();
  finished->start();
  ASSERT_TRUE(finished->wait(5000));
  tovix::ui::release_worker(finished, nullptr);

  QPointer<GatedWorker> empty;
  tovix::ui::release_worker(empty, nullptr, 1000);

  run_deferred_deletions();
  EXPECT_TRUE(watch_idle.isNull());
  EXPECT_TRUE(watch_finished.isNull());
}

// A request that succeeds, fails the ordinary way, or throws.
class ScriptedWorker : public tovix::ui::ConsoleWorker {
  Q_OBJECT
 public:
  // The client is made but never asked anything.
  explicit ScriptedWorker(int outcome) : ConsoleWorker({}, "http://127.0.0.1:1", nullptr), _outcome(outcome) {}

 protected:
  ordered_json _call(tovix::ToVixProxyClient&) override {
    if (_outcome == 1) throw std::runtime_error("boom");
    if (_outcome == 2) throw 7;
    return {{"success", true}, {"message", "ok"}};
  }
  ordered_json _failure(const std::string& message) const override {
    return {{"success", false}, {"message", "failed: " + message}};
  }

 private:
  int _outcome;
};

class RecordReceiver : public QObject {
  Q_OBJECT
 public:
  QList<ordered_json> records;
  QList<QThread*> delivered_on;
  int finishes = 0;
  void take(const ordered_json& record) {
    records.append(record);
    delivered_on.append(QThread::currentThread());
  }
  void finished() { ++finishes; }
};

TEST(ConsoleWorker, EmitsExactlyOneRecordOnTheReceiversThreadWhateverTheRequestDoes) {
  const char* const expected[] = {"ok", "failed: boom", "failed: 未知错误"};
  for (int outcome = 0; outcome < 3; ++outcome) {
    RecordReceiver receiver;
    QPointer<ScriptedWorker> slot;
    tovix::ui::start_worker(slot, new ScriptedWorker(outcome), &receiver, &RecordReceiver::take,
                            &RecordReceiver::finished);
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.finishes > 0; }, 5000));
    ASSERT_EQ(receiver.records.size(), 1) << outcome;
    EXPECT_EQ(receiver.records[0]["message"], expected[outcome]);
    EXPECT_EQ(receiver.delivered_on[0], QThread::currentThread());
    EXPECT_TRUE(tovix::ui::from_slot(slot, slot.data()));
    EXPECT_FALSE(tovix::ui::from_slot(slot, &receiver)) << "another sender's signal passed for the slot's";
    tovix::ui::forget_finished(slot, &receiver);
    EXPECT_FALSE(slot.isNull());
    QPointer<ScriptedWorker> watch = slot;
    tovix::ui::forget_finished(slot, watch.data());
    EXPECT_TRUE(slot.isNull());
    run_deferred_deletions();
    EXPECT_TRUE(watch.isNull());
  }
}

TEST(StatusLine, StylesAndSetValues) {
  QLabel label;
  tovix::ui::show_status(&label, QStringLiteral("加载中..."), tovix::ui::StatusKind::neutral);
  EXPECT_EQ(label.styleSheet(), "color: #a6adc8; font-size: 12px;");
  tovix::ui::show_status(&label, QStringLiteral("失败"), tovix::ui::StatusKind::error);
  EXPECT_EQ(label.styleSheet(), "color: #e64553; font-size: 12px;");
  tovix::ui::show_status(&label, QStringLiteral("成功"), tovix::ui::StatusKind::success);
  EXPECT_EQ(label.styleSheet(), "color: #40a02b; font-size: 12px;");
  EXPECT_EQ(label.text(), QStringLiteral("成功"));

  const ordered_json record = {{"a", ""},    {"b", 0},   {"c", nullptr}, {"d", ordered_json::array()},
                               {"e", false}, {"f", "x"}, {"g", 7},       {"h", {{"k", 1}}}};
  for (const char* key : {"a", "b", "c", "d", "e", "missing"}) EXPECT_FALSE(tovix::ui::is_set(record, key)) << key;
  for (const char* key : {"f", "g", "h"}) EXPECT_TRUE(tovix::ui::is_set(record, key)) << key;
  EXPECT_FALSE(tovix::ui::is_set(ordered_json::array(), "f"));
  EXPECT_EQ(tovix::ui::text_or(record, "f", "fallback"), "x");
  EXPECT_EQ(tovix::ui::text_or(record, "g", "fallback"), "7");
  EXPECT_EQ(tovix::ui::text_or(record, "a", "fallback"), "fallback");

  // Display text keeps zero, false and empty values; only absent and null fall back.
  EXPECT_EQ(tovix::ui::display_text(record, "b"), "0");
  EXPECT_EQ(tovix::ui::display_text(record, "e"), "false");
  EXPECT_EQ(tovix::ui::display_text(record, "a", "fallback"), "");
  EXPECT_EQ(tovix::ui::display_text(record, "c", "fallback"), "fallback");
  EXPECT_EQ(tovix::ui::display_text(record, "missing", "fallback"), "fallback");
  EXPECT_EQ(tovix::ui::display_text(ordered_json::array(), "f"), "");
}

}  // namespace

#include "ui_common_test.moc"
