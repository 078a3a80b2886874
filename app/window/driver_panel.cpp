#include "app/window/driver_panel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "engine/driver_setup/driver_setup.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix::app {
namespace {

using Json = nlohmann::ordered_json;

Json facility_record(const DiversionFacility& facility) {
  Json checks = Json::array();
  for (const FacilityCheck& check : facility.checks) {
    checks.push_back({{"label", check.label}, {"ok", check.ok}, {"detail", check.detail}});
  }
  return {{"driver_managed", facility.driver_managed}, {"summary", facility.summary}, {"checks", checks}};
}

QString text_at(const Json& record, const char* key) {
  return QString::fromStdString(record.value(key, std::string()));
}

DriverPanel::Actions with_defaults(DriverPanel::Actions actions) {
  if (!actions.check) actions.check = check_diversion_facility;
  if (!actions.install) actions.install = [] { return install_driver(); };
  if (!actions.uninstall) actions.uninstall = [] { return uninstall_driver(); };
  return actions;
}

}  // namespace

DriverPanel::DriverPanel(QWidget* parent, Actions actions)
    : QWidget(parent), _actions(with_defaults(std::move(actions))) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  _summary = new QLabel;
  _summary->setObjectName("hint");
  _summary->setWordWrap(true);
  layout->addWidget(_summary);
  _checks = new QTableWidget(0, 3);
  _checks->setHorizontalHeaderLabels({QStringLiteral("检查项"), QStringLiteral("状态"), QStringLiteral("说明")});
  _checks->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _checks->setSelectionMode(QAbstractItemView::NoSelection);
  _checks->verticalHeader()->setVisible(false);
  _checks->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  _checks->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  _checks->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(_checks);
  _status = new QLabel;
  _status->setWordWrap(true);
  layout->addWidget(_status);
  auto* buttons = new QHBoxLayout;
  _refresh = new QPushButton(QStringLiteral("重新检测"));
  _install = new QPushButton(QStringLiteral("安装驱动"));
  _uninstall = new QPushButton(QStringLiteral("卸载驱动"));
  buttons->addWidget(_refresh);
  buttons->addStretch(1);
  buttons->addWidget(_install);
  buttons->addWidget(_uninstall);
  layout->addLayout(buttons);
  _install->setVisible(false);
  _uninstall->setVisible(false);
  connect(_refresh, &QPushButton::clicked, this, &DriverPanel::refresh);
  connect(_install, &QPushButton::clicked, this,
          [this] { _run_command(_actions.install, QStringLiteral("正在安装驱动...")); });
  connect(_uninstall, &QPushButton::clicked, this,
          [this] { _run_command(_actions.uninstall, QStringLiteral("正在卸载驱动...")); });
  refresh();
}

DriverPanel::~DriverPanel() { ui::release_worker(_worker, this); }

void DriverPanel::refresh() {
  auto check = _actions.check;
  const bool started = start_task(
      _worker, this, [check] { return facility_record(check()); },
      [this](const Json& facility) {
        _set_busy(false);
        _show_facility(facility);
        emit updated();
      });
  if (!started) return;
  _set_busy(true);
  ui::show_status(_status, QStringLiteral("正在检测..."), ui::StatusKind::neutral);
}

void DriverPanel::_run_command(std::function<std::pair<bool, std::string>()> command, const QString& busy_text) {
  auto check = _actions.check;
  // The check after the command runs on the same worker, so the table shows the state the
  // command left behind.
  auto task = [command, check] {
    Json result;
    try {
      const auto [ok, message] = command();
      result = {{"success", ok}, {"message", message}};
    } catch (const std::exception& e) {
      // install_driver lets DriverCommandError through when `sc` itself cannot run.
      result = {{"success", false}, {"message", e.what()}};
    }
    result["facility"] = facility_record(check());
    return result;
  };
  const bool started = start_task(_worker, this, std::move(task), [this](const Json& result) {
    _set_busy(false);
    _show_facility(result["facility"]);
    const bool ok = result.value("success", false);
    ui::show_status(_status, text_at(result, "message"), ok ? ui::StatusKind::success : ui::StatusKind::error);
    emit updated();
  });
  if (!started) return;
  _set_busy(true);
  ui::show_status(_status, busy_text, ui::StatusKind::neutral);
}

void DriverPanel::_show_facility(const Json& facility) {
  _driver_managed = facility.value("driver_managed", false);
  _summary->setText(text_at(facility, "summary"));
  const Json checks = facility.value("checks", Json::array());
  _checks->setRowCount(static_cast<int>(checks.size()));
  bool ready = true;
  for (int row = 0; row < static_cast<int>(checks.size()); ++row) {
    const Json& check = checks[static_cast<std::size_t>(row)];
    const bool ok = check.value("ok", false);
    ready = ready && ok;
    _checks->setItem(row, 0, new QTableWidgetItem(text_at(check, "label")));
    auto* state = new QTableWidgetItem(ok ? QStringLiteral("✔ 正常") : QStringLiteral("✘ 缺失"));
    state->setForeground(QColor(ok ? "#40a02b" : "#e64553"));
    _checks->setItem(row, 1, state);
    _checks->setItem(row, 2, new QTableWidgetItem(text_at(check, "detail")));
  }
  _install->setVisible(_driver_managed);
  _uninstall->setVisible(_driver_managed);
  ui::show_status(_status, ready ? QStringLiteral("数据包转发条件已满足") : QStringLiteral("数据包转发条件未满足"),
                  ready ? ui::StatusKind::success : ui::StatusKind::error);
}

void DriverPanel::_set_busy(bool busy) {
  _refresh->setEnabled(!busy);
  _install->setEnabled(!busy);
  _uninstall->setEnabled(!busy);
}

}  // namespace tovix::app
