#include <windows.h>

#include <QMetaObject>
#include <QPointer>
#include <atomic>

#include "app/core/stop_signals.h"

namespace tovix::app {
namespace {

// The console handler runs on a thread the system creates; it hands over to the object's thread.
std::atomic<StopSignals*> receiver{nullptr};

BOOL WINAPI on_console_event(DWORD) {
  StopSignals* target = receiver.load();
  if (target == nullptr) return FALSE;
  QMetaObject::invokeMethod(target, &StopSignals::stop_requested, Qt::QueuedConnection);
  return TRUE;
}

}  // namespace

struct StopSignals::Platform {};

StopSignals::StopSignals(QObject* parent) : QObject(parent), _platform(std::make_unique<Platform>()) {
  receiver.store(this);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

StopSignals::~StopSignals() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  receiver.store(nullptr);
}

}  // namespace tovix::app
