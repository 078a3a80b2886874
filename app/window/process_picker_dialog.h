#pragma once
// Picks applications from a list that is loaded off the GUI thread: the running processes
// (name and executable path) or the installed applications (the Start-menu scan may take
// seconds). Several rows may be chosen; a filter narrows the list.
#include <QDialog>
#include <QPointer>
#include <QStringList>

#include <nlohmann/json.hpp>

#include "app/core/task_worker.h"

class QLabel;
class QLineEdit;
class QTableWidget;

namespace tovix::app {

class ProcessPickerDialog : public QDialog {
  Q_OBJECT

 public:
  enum class Source { running_processes, installed_apps };
  // `listing` gives the records ({"name","exe"} or {"Name","Exe"}); the default is ProcWatch's.
  ProcessPickerDialog(Source source, QWidget* parent = nullptr, TaskWorker::Task listing = {});
  ~ProcessPickerDialog() override;

  // Process names of the chosen rows (lower case; an application's is its executable's file name).
  QStringList chosen_names() const;

  QTableWidget* table() const { return _table; }
  QLineEdit* filter_edit() const { return _filter; }
  QLabel* status_label() const { return _status; }
  bool is_loading() const { return !_worker.isNull(); }

 signals:
  void loaded(int count);

 private:
  void _on_listed(const nlohmann::ordered_json& records);
  void _apply_filter(const QString& text);

  const Source _source;
  QTableWidget* _table;
  QLineEdit* _filter;
  QLabel* _status;
  QPointer<TaskWorker> _worker;
};

// The process name under which the engine knows an executable: its file name, lower-cased.
QString process_name_of_executable(const QString& path);

}  // namespace tovix::app
