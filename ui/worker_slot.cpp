#include "ui/worker_slot.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QList>

namespace tovix::ui {
namespace {

// A console request ends by itself within its 15-second time-out; allow for the connect too.
constexpr int EXIT_WAIT_MS = 20000;

// Released workers whose thread was still running when they were released. GUI thread only.
QList<QPointer<QThread>>& released() {
  static QList<QPointer<QThread>> list;
  return list;
}

void wait_at_exit() {
  wait_for_released_workers(EXIT_WAIT_MS);
  // The event loop is gone, so deferred deletions of these will never run: delete the ended ones.
  for (const QPointer<QThread>& worker : released()) {
    if (worker && !worker->isRunning()) delete worker.data();
  }
  released().clear();
}

void remember(QThread* worker) {
  static bool hooked = false;
  if (!hooked) {
    qAddPostRoutine(wait_at_exit);
    hooked = true;
  }
  released().removeIf([](const QPointer<QThread>& w) { return w.isNull(); });
  released().append(worker);
}

}  // namespace

void release_worker(QThread* worker, const QObject* receiver, int wait_ms) {
  if (worker == nullptr) return;
  if (receiver != nullptr) QObject::disconnect(worker, nullptr, receiver, nullptr);
  worker->requestInterruption();
  worker->quit();
  if (wait_ms > 0 && worker->isRunning()) worker->wait(QDeadlineTimer(wait_ms));
  // Connected before the running test, so a thread that ends in between is still deleted;
  // a second deleteLater is harmless.
  QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
  if (worker->isRunning()) {
    remember(worker);
  } else {
    worker->deleteLater();
  }
}

int running_released_workers() {
  int count = 0;
  for (const QPointer<QThread>& worker : released()) {
    if (worker && worker->isRunning()) ++count;
  }
  return count;
}

bool wait_for_released_workers(int timeout_ms) {
  const QDeadlineTimer deadline(timeout_ms);
  for (const QPointer<QThread>& worker : released()) {
    if (worker && !worker->wait(deadline)) return false;
  }
  return true;
}

}  // namespace tovix::ui
