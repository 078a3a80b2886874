#include "app/core/task_worker.h"

#include "ui/worker_slot.h"

namespace tovix::app {

TaskWorker::TaskWorker(Task task, QObject* parent) : QThread(parent), _task(std::move(task)) {}

void TaskWorker::run() {
  nlohmann::ordered_json result;
  try {
    result = _task();
  } catch (const std::exception& e) {
    result = {{"success", false}, {"message", e.what()}};
  }
  emit done(result);
}

bool start_task(QPointer<TaskWorker>& slot, QObject* receiver, TaskWorker::Task task,
                std::function<void(const nlohmann::ordered_json&)> on_done) {
  if (slot) return false;
  auto* worker = new TaskWorker(std::move(task));
  slot = worker;
  // The slot frees as soon as the result is in, not when the thread winds down after it: a user
  // who clicks again right after an outcome is shown must get a new run, not silence.
  QObject::connect(worker, &TaskWorker::done, receiver,
                   [&slot, worker, receiver, on_done = std::move(on_done)](const nlohmann::ordered_json& result) {
                     const auto callback = on_done;  // releasing the worker drops this connection
                     if (slot == worker) ui::release_worker(slot, receiver);
                     callback(result);
                   });
  QObject::connect(worker, &QThread::finished, receiver, [&slot, worker, receiver] {
    if (slot == worker) ui::release_worker(slot, receiver);
  });
  worker->start();
  return true;
}

}  // namespace tovix::app
