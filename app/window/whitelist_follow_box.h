#pragma once
// The "自动更新白名单" option of the account tab and the line that tells what the last check
// did. The checks themselves run in WhitelistAutoUpdater.
#include <QWidget>

class QCheckBox;
class QLabel;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class WhitelistAutoUpdater;

class WhitelistFollowBox : public QWidget {
  Q_OBJECT

 public:
  // The box owns `updater` (a default one on the real public-IP services when null).
  explicit WhitelistFollowBox(SettingsStore& settings, WhitelistAutoUpdater* updater = nullptr,
                              QWidget* parent = nullptr);

  // The engine has started: the address is looked at again.
  void engine_started();

  QCheckBox* check_box() const { return _enabled; }
  QLabel* status_label() const { return _status; }
  WhitelistAutoUpdater* updater() const { return _updater; }

 private:
  WhitelistAutoUpdater* _updater;
  QCheckBox* _enabled;
  QLabel* _status;
};

}  // namespace tovix::app
