#pragma once
// The choice of how connections are spread over the proxy list, saved in the settings at once
// ("pid_mode" and "per_connection_mode"); the engine takes it at its next start.
#include <QComboBox>

#include "engine/pool/spread_mode.h"

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class SpreadModeBox : public QComboBox {
  Q_OBJECT

 public:
  explicit SpreadModeBox(SettingsStore& settings, QWidget* parent = nullptr);

  pool::SpreadMode mode() const;
  void set_mode(pool::SpreadMode mode);

 private:
  SettingsStore& _settings;
};

}  // namespace tovix::app
