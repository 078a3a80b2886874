#include "tests/ui/plan_dialog/dialog_fixture.h"

#include <QTest>

#include "config/settings_store.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {
namespace {

// The dialog takes the one shared store; it is pointed at a temporary file before any test runs.
class SettingsOnTempFile : public ::testing::Environment {
 public:
  void SetUp() override { SettingsStore::_instance_at(_dir / "config.json"); }

 private:
  TempDir _dir;
};

[[maybe_unused]] const auto* const settings_environment = ::testing::AddGlobalTestEnvironment(new SettingsOnTempFile);

}  // namespace

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
  return QTest::qWaitFor(condition, timeout_ms);
}

void sign_in(const ConsoleFake& console) {
  SettingsStore::instance().set_tovixproxy_jwt(kToken);
  SettingsStore::instance().set_tovixproxy_base_url(console.base_url());
}

void sign_out() { SettingsStore::instance().set_tovixproxy_jwt(""); }

nlohmann::ordered_json listing(const nlohmann::ordered_json& items) {
  return {{"status", 200}, {"msg", "ok"}, {"data", {{"list", items}, {"count", items.size()}}}};
}

ModalWatcher::ModalWatcher(std::function<bool(QWidget*)> act) : _act(std::move(act)) {
  _timer.setInterval(10);
  QObject::connect(&_timer, &QTimer::timeout, [this] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == _last.data()) return;
    if (_act(modal)) {
      _last = modal;
      ++_handled;
    }
  });
  _timer.start();
}

ModalWatcher::~ModalWatcher() { _timer.stop(); }

}  // namespace tovix::testing
