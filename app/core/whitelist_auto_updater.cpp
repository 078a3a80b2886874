#include "app/core/whitelist_auto_updater.h"

#include "common/json_values.h"
#include "config/settings_store.h"
#include "ui/plan_dialog/public_ip_lookup.h"
#include "ui/worker_slot.h"

namespace tovix::app {
namespace {

using Outcome = WhitelistFollowResult::Outcome;

WhitelistFollower::AddressLookup public_ip_lookup() {
  return [] { return lookup_public_ip(default_public_ip_sources()); };
}

}  // namespace

WhitelistAutoUpdater::WhitelistAutoUpdater(SettingsStore& settings, WhitelistFollower::AddressLookup lookup,
                                           QObject* parent)
    : QObject(parent), _settings(settings), _lookup(lookup ? std::move(lookup) : public_ip_lookup()) {
  _timer.setInterval(PERIOD);
  connect(&_timer, &QTimer::timeout, this, &WhitelistAutoUpdater::check_now);
  if (enabled()) _timer.start();
}

WhitelistAutoUpdater::~WhitelistAutoUpdater() { ui::release_worker(_worker, this); }

bool WhitelistAutoUpdater::enabled() const { return is_truthy(_settings.get(AUTO_WHITELIST_KEY, false)); }

void WhitelistAutoUpdater::set_enabled(bool on) {
  if (on == enabled()) return;
  _settings.set(AUTO_WHITELIST_KEY, on);
  _last_told.clear();
  if (on) {
    _timer.start();
    check_now();
  } else {
    _timer.stop();
  }
}

void WhitelistAutoUpdater::check_now() {
  if (!enabled()) return;
  start_task(
      _worker, this,
      [&settings = _settings, lookup = _lookup] {
        const WhitelistFollowResult result = WhitelistFollower(settings, lookup).check();
        const bool ok = result.outcome != Outcome::failed && result.outcome != Outcome::lookup_failed &&
                        result.outcome != Outcome::not_signed_in;
        return nlohmann::ordered_json{{"success", ok}, {"message", result.message}};
      },
      [this](const nlohmann::ordered_json& result) { _on_result(result); });
}

void WhitelistAutoUpdater::_on_result(const nlohmann::ordered_json& result) {
  const QString text = QString::fromStdString(text_of(result.value("message", nlohmann::ordered_json(""))));
  // Nothing to tell (the address stayed): the next trouble is news again.
  if (text.isEmpty()) {
    _last_told.clear();
    return;
  }
  if (text == _last_told) return;
  _last_told = text;
  emit checked(text, result.value("success", false));
}

}  // namespace tovix::app
