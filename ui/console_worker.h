#pragma once
// A worker thread that makes one console call with a web client of its own and hands the result
// record to the dialog. The record travels by queued signal, so the dialog reads it on its own
// thread; whatever the call raises becomes a failure record, so result_ready is emitted exactly
// once per run, before the thread's finished signal.
#include <QPointer>
#include <QThread>
#include <string>

#include <nlohmann/json.hpp>

#include "api/tovixproxy_client.h"
#include "ui/ui_common_export.h"

namespace tovix::ui {

class UI_COMMON_EXPORT ConsoleWorker : public QThread {
  Q_OBJECT
 public:
  // Read by the worker thread; never changed after construction. An empty token: signed out.
  const std::string jwt_token;
  const std::string base_url;

 signals:
  void result_ready(const nlohmann::ordered_json& result);

 protected:
  ConsoleWorker(std::string jwt_token, std::string base_url, QObject* parent);
  void run() final;
  // The one call (or the calls that must share one session); runs on the worker thread.
  virtual Json _call(ToVixProxyClient& client) = 0;
  // The record reported when creating the client or the call raises; message is the error text.
  virtual Json _failure(const std::string& message) const;
};

// Puts a new worker into the dialog's slot (which the caller has cleaned up), wires its result and
// the end of its thread to the dialog, and starts it.
template <class Slot, class Worker, class Dialog>
void start_worker(QPointer<Slot>& slot, Worker* worker, Dialog* dialog,
                  void (Dialog::*on_result)(const nlohmann::ordered_json&), void (Dialog::*on_finished)()) {
  slot = worker;
  QObject::connect(worker, &ConsoleWorker::result_ready, dialog, on_result, Qt::QueuedConnection);
  QObject::connect(worker, &QThread::finished, dialog, on_finished, Qt::QueuedConnection);
  worker->start();
}

// True when a signal from sender is meant for the worker now in slot. A result that was already
// queued when its worker was released may still be delivered; this tells it apart.
template <class Worker>
bool from_slot(const QPointer<Worker>& slot, const QObject* sender) {
  return !slot.isNull() && sender == slot.data();
}

// For the end of a worker's thread: the worker in slot, if it sent it, is deleted later and the
// slot cleared.
template <class Worker>
void forget_finished(QPointer<Worker>& slot, const QObject* sender) {
  if (!from_slot(slot, sender)) return;
  slot->deleteLater();
  slot.clear();
}

}  // namespace tovix::ui
