#include "app/window/desktop_panel.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/autostart/autostart.h"
#include "app/core/settings_keys.h"
#include "config/settings_store.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix::app {
namespace {

using Json = nlohmann::ordered_json;

QLabel* hint(const QString& text) {
  auto* label = new QLabel(text);
  label->setObjectName("hint");
  label->setWordWrap(true);
  return label;
}

}  // namespace

DesktopPanel::DesktopPanel(SettingsStore& settings, std::shared_ptr<Autostart> autostart, bool tray_available,
                           QWidget* parent)
    : QWidget(parent), _settings(settings), _autostart(std::move(autostart)) {
  auto* layout = new QVBoxLayout(this);
  auto* group = new QGroupBox(QStringLiteral("启动与托盘"));
  auto* rows = new QVBoxLayout(group);
  _autostart_box = new QCheckBox(QStringLiteral("开机自动启动"));
  rows->addWidget(_autostart_box);
  rows->addWidget(
      hint(QStringLiteral("登录系统时启动云貂代理，窗口隐藏在系统托盘中；上次退出时代理在运行，则同时启动代理。")));
  _close_to_tray = new QCheckBox(QStringLiteral("关闭窗口时最小化到系统托盘（不退出程序）"));
  _close_to_tray->setChecked(settings.get(CLOSE_TO_TRAY_KEY) == Json(true));
  rows->addWidget(_close_to_tray);
  if (!tray_available) {
    _close_to_tray->setChecked(false);
    _close_to_tray->setEnabled(false);
    rows->addWidget(hint(QStringLiteral("系统托盘不可用：关闭窗口即退出程序。")));
  }
  _status = new QLabel;
  _status->setWordWrap(true);
  rows->addWidget(_status);
  layout->addWidget(group);
  layout->addStretch(1);

  connect(_autostart_box, &QCheckBox::toggled, this, &DesktopPanel::_set_autostart);
  connect(_close_to_tray, &QCheckBox::toggled, this, [this](bool on) { _settings.set(CLOSE_TO_TRAY_KEY, on); });
  refresh();
}

DesktopPanel::~DesktopPanel() { ui::release_worker(_worker, this); }

void DesktopPanel::show_close_to_tray(bool on) {
  const QSignalBlocker blocker(_close_to_tray);
  if (_close_to_tray->isEnabled()) _close_to_tray->setChecked(on);
}

void DesktopPanel::refresh() {
  _autostart_box->setEnabled(false);
  ui::show_status(_status, QStringLiteral("正在读取开机自动启动设置..."), ui::StatusKind::neutral);
  start_task(
      _worker, this,
      [autostart = _autostart] {
        return Json{{"success", true}, {"message", ""}, {"enabled", autostart->is_enabled()}};
      },
      [this](const Json& result) { _show_outcome(result); });
}

void DesktopPanel::_set_autostart(bool on) {
  _autostart_box->setEnabled(false);
  ui::show_status(_status, on ? QStringLiteral("正在设置开机自动启动...") : QStringLiteral("正在取消开机自动启动..."),
                  ui::StatusKind::neutral);
  const bool started = start_task(
      _worker, this,
      [autostart = _autostart, on] {
        const AutostartResult outcome = on ? autostart->enable() : autostart->disable();
        // What the system holds now, whatever the outcome said.
        return Json{{"success", outcome.first}, {"message", outcome.second}, {"enabled", autostart->is_enabled()}};
      },
      [this](const Json& result) { _show_outcome(result); });
  if (!started) {
    // A read is still under way: its outcome puts the box right again.
    const QSignalBlocker blocker(_autostart_box);
    _autostart_box->setChecked(!on);
  }
}

void DesktopPanel::_show_outcome(const Json& result) {
  {
    const QSignalBlocker blocker(_autostart_box);
    _autostart_box->setChecked(result.value("enabled", false));
  }
  _autostart_box->setEnabled(true);
  const QString message = QString::fromStdString(result.value("message", std::string()));
  ui::show_status(_status, message, result.value("success", false) ? ui::StatusKind::success : ui::StatusKind::error);
  emit updated();
}

}  // namespace tovix::app
