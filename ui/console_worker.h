#pragma once
// A worker thread that makes one console request and hands its result record to the dialog.
// The record travels by queued signal, so the dialog reads it on its own thread; whatever the
// request does, exactly one record is emitted.
#include <QPointer>
#include <QThread>
#include <string>

#include <nlohmann/json.hpp>

#include "ui/ui_common_export.h"

namespace tovix::ui {

class UI_COMMON_EXPORT ConsoleWorker : public QThread {
  Q_OBJECT
 public:
  using QThread::QThread;

 signals:
  void result_ready(const nlohmann::ordered_json& result);

 protected:
  void run() final;
  // The request itself; may throw.
  virtual nlohmann::ordered_json _work() = 0;
  // The record emitted instead when _work throws, shaped like the request's own records.
  virtual nlohmann::ordered_json _failure(const std::string& error_text) const = 0;
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
