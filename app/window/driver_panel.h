#pragma once
// The packet driver: what diversion needs on this platform and whether it is there (driver
// files, service installed and running on Windows; root, NFQUEUE and iptables on Linux), with
// install and remove where the driver is managed from here. Every check and command runs off
// the GUI thread.
#include <QPointer>
#include <QWidget>
#include <functional>

#include "app/core/diversion_facility.h"
#include "app/core/task_worker.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace tovix::app {

class DriverPanel : public QWidget {
  Q_OBJECT

 public:
  // What the panel calls; the defaults are the real checks and driver_setup's functions.
  struct Actions {
    std::function<DiversionFacility()> check;
    std::function<std::pair<bool, std::string>()> install;
    std::function<std::pair<bool, std::string>()> uninstall;
  };
  explicit DriverPanel(QWidget* parent = nullptr, Actions actions = {});
  ~DriverPanel() override;

  void refresh();
  bool is_busy() const { return !_worker.isNull(); }

  QLabel* summary_label() const { return _summary; }
  QTableWidget* checks_table() const { return _checks; }
  QLabel* status_label() const { return _status; }
  QPushButton* install_button() const { return _install; }
  QPushButton* uninstall_button() const { return _uninstall; }

 signals:
  // A check, install or remove has finished and the panel shows its outcome.
  void updated();

 private:
  void _run_command(std::function<std::pair<bool, std::string>()> command, const QString& busy_text);
  void _show_facility(const nlohmann::ordered_json& facility);
  void _set_busy(bool busy);

  Actions _actions;
  QLabel* _summary;
  QTableWidget* _checks;
  QLabel* _status;
  QPushButton* _refresh;
  QPushButton* _install;
  QPushButton* _uninstall;
  QPointer<TaskWorker> _worker;
  bool _driver_managed = false;
};

}  // namespace tovix::app
