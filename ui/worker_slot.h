#pragma once
// The dialogs run each console request on a worker thread of its own (a QThread object that
// lives on the GUI thread). A worker object is released only once its thread has ended: a
// dialog drops a worker it no longer wants at any moment, and the object stays alive, cut off
// from the dialog, until its blocking request ends by itself.
#include <QPointer>
#include <QThread>

#include "ui/ui_common_export.h"

namespace tovix::ui {

// Cuts every connection from worker to receiver (so a result it may still produce reaches
// nothing), asks its thread to stop and waits at most wait_ms for it, then schedules the object
// for deferred deletion: at once when its thread is not running, otherwise when it finishes.
// A null worker is ignored.
UI_COMMON_EXPORT void release_worker(QThread* worker, const QObject* receiver, int wait_ms = 0);

// The same for the worker a dialog keeps in slot; the slot is cleared.
template <class Worker>
void release_worker(QPointer<Worker>& slot, const QObject* receiver, int wait_ms = 0) {
  QThread* worker = slot.data();
  slot.clear();
  release_worker(worker, receiver, wait_ms);
}

// Number of released workers whose thread still runs.
UI_COMMON_EXPORT int running_released_workers();

// Waits at most timeout_ms for the threads of all released workers; true when none runs any
// more. Also run, with the longest request time-out, when the application object is destroyed,
// so no worker thread outlives the process's Qt state.
UI_COMMON_EXPORT bool wait_for_released_workers(int timeout_ms);

}  // namespace tovix::ui
