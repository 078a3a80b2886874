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
  QObject::connect(worker, &TaskWorker::done, receiver, std::move(on_done));
  QObject::connect(worker, &QThread::finished, receiver, [&slot, worker, receiver] {
    if (slot == worker) ui::release_worker(slot, receiver);
  });
  worker->start();
  return true;
}

}  // namespace tovix::app
