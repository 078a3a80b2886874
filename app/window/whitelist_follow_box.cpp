#include "app/window/whitelist_follow_box.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/core/whitelist_auto_updater.h"
#include "ui/status_style.h"

namespace tovix::app {

WhitelistFollowBox::WhitelistFollowBox(SettingsStore& settings, WhitelistAutoUpdater* updater, QWidget* parent)
    : QWidget(parent), _updater(updater != nullptr ? updater : new WhitelistAutoUpdater(settings)) {
  _updater->setParent(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  _enabled = new QCheckBox(QStringLiteral("自动更新白名单"));
  _enabled->setToolTip(QStringLiteral(
      "每 5 分钟及代理启动时查询本机公网 IP；IP 变化后，把各短效产品白名单中的旧 IP 换成新 IP，其余条目保留"));
  _enabled->setChecked(_updater->enabled());
  layout->addWidget(_enabled);
  _status = new QLabel;
  _status->setWordWrap(true);
  layout->addWidget(_status);

  connect(_enabled, &QCheckBox::toggled, _updater, &WhitelistAutoUpdater::set_enabled);
  connect(_updater, &WhitelistAutoUpdater::checked, this, [this](const QString& text, bool ok) {
    ui::show_status(_status, text, ok ? ui::StatusKind::success : ui::StatusKind::error);
  });
}

void WhitelistFollowBox::engine_started() { _updater->check_now(); }

}  // namespace tovix::app
