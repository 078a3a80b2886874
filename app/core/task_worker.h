#pragma once
// Runs one blocking call (a process or application listing, a driver check or install, a
// sign-out request) on its own thread and hands its JSON result back. Emits `done` exactly once;
// a call that throws yields {"success": false, "message": <what it said>}.
#include <QPointer>
#include <QThread>
#include <functional>

#include <nlohmann/json.hpp>

namespace tovix::app {

class TaskWorker : public QThread {
  Q_OBJECT

 public:
  using Task = std::function<nlohmann::ordered_json()>;
  explicit TaskWorker(Task task, QObject* parent = nullptr);

 signals:
  void done(const nlohmann::ordered_json& result);

 protected:
  void run() override;

 private:
  const Task _task;
};

// Starts `task` on a worker kept in `slot` unless the slot still holds a worker whose result has
// not come in (then false). `on_done` runs on the receiver's thread after the slot has been
// freed, so it may start the next task; the worker object is deleted once its thread ends. The
// receiver releases the slot in its destructor and then never hears from it.
bool start_task(QPointer<TaskWorker>& slot, QObject* receiver, TaskWorker::Task task,
                std::function<void(const nlohmann::ordered_json&)> on_done);

}  // namespace tovix::app
