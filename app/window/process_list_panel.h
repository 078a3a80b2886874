#pragma once
// The chosen applications (the `process_list` setting): typed names or names picked from the
// running processes and the installed applications. An empty list proxies all traffic.
#include <QStringList>
#include <QWidget>

#include <functional>

#include "app/window/process_picker_dialog.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class ProcessListPanel : public QWidget {
  Q_OBJECT

 public:
  // Opens a picker and returns the names chosen there (empty when cancelled); tests replace it.
  using Picker = std::function<QStringList(ProcessPickerDialog::Source, QWidget* parent)>;
  explicit ProcessListPanel(SettingsStore& settings, QWidget* parent = nullptr, Picker picker = {});

  void add_names(const QStringList& names);
  QStringList names() const;

  QLineEdit* name_edit() const { return _name; }
  QListWidget* list() const { return _list; }
  QPushButton* add_button() const { return _add; }
  QPushButton* pick_running_button() const { return _pick_running; }
  QPushButton* pick_installed_button() const { return _pick_installed; }
  QPushButton* remove_button() const { return _remove; }

 private:
  void _reload();
  void _store(const QStringList& names);

  SettingsStore& _settings;
  Picker _picker;
  QLineEdit* _name;
  QListWidget* _list;
  QLabel* _hint;
  QPushButton* _add;
  QPushButton* _pick_running;
  QPushButton* _pick_installed;
  QPushButton* _remove;
};

}  // namespace tovix::app
