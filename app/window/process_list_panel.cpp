#include "app/window/process_list_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/settings_store.h"

namespace tovix::app {
namespace {

QStringList open_picker(ProcessPickerDialog::Source source, QWidget* parent) {
  ProcessPickerDialog dialog(source, parent);
  return dialog.exec() == QDialog::Accepted ? dialog.chosen_names() : QStringList();
}

}  // namespace

ProcessListPanel::ProcessListPanel(SettingsStore& settings, QWidget* parent, Picker picker)
    : QWidget(parent), _settings(settings), _picker(picker ? std::move(picker) : Picker(open_picker)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  _hint = new QLabel;
  _hint->setObjectName("hint");
  layout->addWidget(_hint);
  _list = new QListWidget;
  _list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  _list->setAlternatingRowColors(true);
  layout->addWidget(_list);

  auto* typed = new QHBoxLayout;
  _name = new QLineEdit;
  _name->setPlaceholderText(QStringLiteral("输入进程名，例如 chrome.exe"));
  _add = new QPushButton(QStringLiteral("添加"));
  typed->addWidget(_name, 1);
  typed->addWidget(_add);
  layout->addLayout(typed);

  auto* buttons = new QHBoxLayout;
  _pick_running = new QPushButton(QStringLiteral("从运行进程选择..."));
  _pick_installed = new QPushButton(QStringLiteral("从已安装应用选择..."));
  _remove = new QPushButton(QStringLiteral("删除所选"));
  buttons->addWidget(_pick_running);
  buttons->addWidget(_pick_installed);
  buttons->addStretch(1);
  buttons->addWidget(_remove);
  layout->addLayout(buttons);

  auto add_typed = [this] {
    add_names({_name->text()});
    _name->clear();
  };
  connect(_add, &QPushButton::clicked, this, add_typed);
  connect(_name, &QLineEdit::returnPressed, this, add_typed);
  connect(_pick_running, &QPushButton::clicked, this,
          [this] { add_names(_picker(ProcessPickerDialog::Source::running_processes, this)); });
  connect(_pick_installed, &QPushButton::clicked, this,
          [this] { add_names(_picker(ProcessPickerDialog::Source::installed_apps, this)); });
  connect(_remove, &QPushButton::clicked, this, [this] {
    QStringList kept = names();
    for (const QListWidgetItem* item : _list->selectedItems()) kept.removeAll(item->text());
    _store(kept);
  });
  _reload();
}

QStringList ProcessListPanel::names() const {
  QStringList result;
  const nlohmann::ordered_json stored = _settings.process_list();
  if (!stored.is_array()) return result;
  for (const auto& value : stored) {
    if (value.is_string()) result.append(QString::fromStdString(value.get<std::string>()));
  }
  return result;
}

void ProcessListPanel::add_names(const QStringList& added) {
  QStringList all = names();
  for (const QString& name : added) {
    const QString trimmed = name.trimmed();
    if (!trimmed.isEmpty() && !all.contains(trimmed, Qt::CaseInsensitive)) all.append(trimmed);
  }
  if (all != names()) _store(all);
}

void ProcessListPanel::_store(const QStringList& list) {
  nlohmann::ordered_json stored = nlohmann::ordered_json::array();
  for (const QString& name : list) stored.push_back(name.toStdString());
  _settings.set_process_list(std::move(stored));
  _reload();
}

void ProcessListPanel::_reload() {
  _list->clear();
  const QStringList current = names();
  _list->addItems(current);
  _remove->setEnabled(!current.isEmpty());
  _hint->setText(current.isEmpty() ? QStringLiteral("未选择应用：代理本机全部 TCP 流量")
                                   : QStringLiteral("只代理以下应用的 TCP 流量（修改在下次启动代理时生效）"));
}

}  // namespace tovix::app
