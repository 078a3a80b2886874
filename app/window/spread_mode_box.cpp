#include "app/window/spread_mode_box.h"

#include "config/settings_store.h"

namespace tovix::app {

SpreadModeBox::SpreadModeBox(SettingsStore& settings, QWidget* parent) : QComboBox(parent), _settings(settings) {
  for (pool::SpreadMode mode :
       {pool::SpreadMode::first_available, pool::SpreadMode::per_program, pool::SpreadMode::per_connection}) {
    addItem(QString::fromStdString(pool::spread_mode_name(mode)), static_cast<int>(mode));
  }
  setToolTip(QStringLiteral("有多个代理时新连接如何分配；不可用的代理自动跳过。下次启动代理时生效"));
  setCurrentIndex(findData(static_cast<int>(pool::spread_mode_of(_settings.to_dict()))));
  connect(this, &QComboBox::currentIndexChanged, this, [this] {
    nlohmann::ordered_json record;
    pool::store_spread_mode(record, mode());
    for (const char* key : {pool::PID_MODE_KEY, pool::PER_CONNECTION_MODE_KEY}) _settings.set(key, record[key]);
  });
}

pool::SpreadMode SpreadModeBox::mode() const { return static_cast<pool::SpreadMode>(currentData().toInt()); }

void SpreadModeBox::set_mode(pool::SpreadMode mode) { setCurrentIndex(findData(static_cast<int>(mode))); }

}  // namespace tovix::app
