#pragma once
// How the program lives on the desktop: starting at log-on (kept by the system, read and changed
// off the GUI thread) and whether closing the window leaves it running in the tray.
#include <QPointer>
#include <QWidget>
#include <memory>

#include "app/core/task_worker.h"

class QCheckBox;
class QLabel;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class Autostart;

class DesktopPanel : public QWidget {
  Q_OBJECT

 public:
  // Without a tray the close choice cannot be taken: closing quits.
  DesktopPanel(SettingsStore& settings, std::shared_ptr<Autostart> autostart, bool tray_available,
               QWidget* parent = nullptr);
  ~DesktopPanel() override;

  // Reads again whether the program starts at log-on.
  void refresh();
  // The close choice was taken elsewhere (asked at the first close).
  void show_close_to_tray(bool on);
  bool is_busy() const { return !_worker.isNull(); }

  QCheckBox* autostart_box() const { return _autostart_box; }
  QCheckBox* close_to_tray_box() const { return _close_to_tray; }
  QLabel* status_label() const { return _status; }

 signals:
  // A read or change of the start at log-on has finished and the panel shows it.
  void updated();

 private:
  void _set_autostart(bool on);
  void _show_outcome(const nlohmann::ordered_json& result);

  SettingsStore& _settings;
  std::shared_ptr<Autostart> _autostart;
  QCheckBox* _autostart_box;
  QCheckBox* _close_to_tray;
  QLabel* _status;
  QPointer<TaskWorker> _worker;
};

}  // namespace tovix::app
