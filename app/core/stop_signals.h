#pragma once
// Ctrl-C and SIGTERM (on Windows: Ctrl-C, Ctrl-Break, closing the console) as a Qt signal on the
// thread that created the object, so headless mode and the window can stop the engine cleanly
// instead of being killed in the middle. One object per process.
#include <QObject>
#include <memory>

namespace tovix::app {

class StopSignals : public QObject {
  Q_OBJECT

 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;

 signals:
  void stop_requested();

 private:
  struct Platform;
  std::unique_ptr<Platform> _platform;
};

}  // namespace tovix::app
