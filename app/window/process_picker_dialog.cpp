#include "app/window/process_picker_dialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/window/dark_style.h"
#include "app/window/dialog_buttons.h"
#include "engine/process/proc_watch.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix::app {
namespace {

QString record_text(const nlohmann::ordered_json& record, const char* key) {
  return record.is_object() && record.contains(key) && record[key].is_string()
             ? QString::fromStdString(record[key].get<std::string>())
             : QString();
}

}  // namespace

QString process_name_of_executable(const QString& path) {
  QString name = path.trimmed();
  const qsizetype slash = std::max(name.lastIndexOf('/'), name.lastIndexOf('\\'));
  return name.mid(slash + 1).toLower();
}

ProcessPickerDialog::ProcessPickerDialog(Source source, QWidget* parent, TaskWorker::Task listing)
    : QDialog(parent), _source(source) {
  const bool running = source == Source::running_processes;
  setWindowTitle(running ? QStringLiteral("从运行中的进程选择") : QStringLiteral("从已安装应用选择"));
  setStyleSheet(WINDOW_STYLE);
  resize(720, 480);
  auto* layout = new QVBoxLayout(this);
  _filter = new QLineEdit;
  _filter->setPlaceholderText(QStringLiteral("筛选名称或路径"));
  layout->addWidget(_filter);
  _table = new QTableWidget(0, 2);
  _table->setHorizontalHeaderLabels(
      {running ? QStringLiteral("进程名") : QStringLiteral("应用名称"), QStringLiteral("程序路径")});
  _table->setSelectionBehavior(QAbstractItemView::SelectRows);
  _table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _table->setAlternatingRowColors(true);
  _table->verticalHeader()->setVisible(false);
  _table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  _table->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(_table);
  _status = new QLabel;
  layout->addWidget(_status);
  add_dialog_buttons(this, layout, QStringLiteral("添加所选"), [this] { accept(); });
  connect(_filter, &QLineEdit::textChanged, this, &ProcessPickerDialog::_apply_filter);

  if (!listing) {
    listing = running ? TaskWorker::Task([] { return ProcWatch::get_all_processes_info(); })
                      : TaskWorker::Task([] { return ProcWatch::get_installed_apps(); });
  }
  ui::show_status(_status, running ? QStringLiteral("正在读取进程列表...") : QStringLiteral("正在扫描已安装应用..."),
                  ui::StatusKind::neutral);
  start_task(_worker, this, std::move(listing), [this](const nlohmann::ordered_json& records) { _on_listed(records); });
}

ProcessPickerDialog::~ProcessPickerDialog() { ui::release_worker(_worker, this); }

void ProcessPickerDialog::_on_listed(const nlohmann::ordered_json& records) {
  const bool running = _source == Source::running_processes;
  const int count = records.is_array() ? static_cast<int>(records.size()) : 0;
  _table->setRowCount(count);
  for (int row = 0; row < count; ++row) {
    const auto& record = records[static_cast<std::size_t>(row)];
    const QString exe = record_text(record, running ? "exe" : "Exe");
    auto* name = new QTableWidgetItem(record_text(record, running ? "name" : "Name"));
    name->setData(Qt::UserRole, running ? record_text(record, "name") : process_name_of_executable(exe));
    name->setToolTip(exe);
    _table->setItem(row, 0, name);
    _table->setItem(row, 1, new QTableWidgetItem(exe));
  }
  ui::show_status(_status,
                  count > 0 ? QStringLiteral("共 %1 项，可多选").arg(count) : QStringLiteral("没有找到可选的项目"),
                  ui::StatusKind::neutral);
  _apply_filter(_filter->text());
  emit loaded(count);
}

void ProcessPickerDialog::_apply_filter(const QString& text) {
  const QString needle = text.trimmed();
  for (int row = 0; row < _table->rowCount(); ++row) {
    const bool match = needle.isEmpty() || _table->item(row, 0)->text().contains(needle, Qt::CaseInsensitive) ||
                       _table->item(row, 1)->text().contains(needle, Qt::CaseInsensitive);
    _table->setRowHidden(row, !match);
  }
}

QStringList ProcessPickerDialog::chosen_names() const {
  QStringList names;
  for (const QModelIndex& index : _table->selectionModel()->selectedRows(0)) {
    const QString name = _table->item(index.row(), 0)->data(Qt::UserRole).toString();
    if (!name.isEmpty() && !names.contains(name)) names.append(name);
  }
  return names;
}

}  // namespace tovix::app
