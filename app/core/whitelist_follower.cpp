#include "app/core/whitelist_follower.h"

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

#include "api/tovixproxy_client.h"
#include "common/json_values.h"
#include "common/logging.h"
#include "config/settings_store.h"
#include "ui/plan_dialog/whitelist_text.h"

namespace tovix::app {
namespace {

using Json = nlohmann::ordered_json;
using Outcome = WhitelistFollowResult::Outcome;

// Short-term packages of one account fit in a few pages; this bounds a console that keeps
// reporting more.
constexpr int MAX_PRODUCT_PAGES = 20;
constexpr std::int64_t PAGE_SIZE = 50;

std::string text_setting(const SettingsStore& settings, const char* key) {
  const Json value = settings.get(key, "");
  return value.is_string() ? value.get<std::string>() : std::string();
}

std::string message_of(const Json& result) {
  const std::string message = result.is_object() && result.contains("message") ? text_of(result["message"]) : "";
  return message.empty() ? "未知错误" : message;
}

// Every short-term product of the account; nothing when the console did not list them.
std::optional<std::vector<Json>> short_term_products(ToVixProxyClient& client, std::string& failure) {
  std::vector<Json> products;
  for (int page = 1; page <= MAX_PRODUCT_PAGES; ++page) {
    const Json listing = client.get_short_term_products(page, PAGE_SIZE);
    if (!listing.value("success", false)) {
      failure = message_of(listing);
      return std::nullopt;
    }
    const Json items = listing.value("products", Json::array());
    for (const Json& item : items) products.push_back(item);
    std::int64_t count = 0;
    try {
      count = to_integer(listing.value("count", Json(0)));
    } catch (const std::exception&) {
    }
    if (items.empty() || static_cast<std::int64_t>(products.size()) >= count) break;
  }
  return products;
}

// The list with `old_address` replaced by `new_address` in its place, the new one listed once;
// nothing when the list does not hold the old address.
std::optional<QStringList> replaced(const QStringList& entries, const QString& old_address,
                                    const QString& new_address) {
  if (!entries.contains(old_address)) return std::nullopt;
  QStringList result;
  for (const QString& entry : entries) {
    const QString kept = entry == old_address ? new_address : entry;
    if (kept == new_address && result.contains(new_address)) continue;
    result << kept;
  }
  return result;
}

}  // namespace

bool is_ipv4_address(const std::string& text) {
  int parts = 0;
  std::size_t at = 0;
  while (true) {
    std::size_t end = text.find('.', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
    }
    if (std::stoi(part) > 255) return false;
    ++parts;
    if (end == text.size()) break;
    at = end + 1;
  }
  return parts == 4;
}

WhitelistFollower::WhitelistFollower(SettingsStore& settings, AddressLookup lookup)
    : _settings(settings), _lookup(std::move(lookup)) {}

WhitelistFollowResult WhitelistFollower::check() {
  WhitelistFollowResult result;
  const std::string jwt = text_setting(_settings, "tovixproxy_jwt");
  if (jwt.empty()) {
    result.outcome = Outcome::not_signed_in;
    result.message = "未登录，无法自动更新白名单";
    return result;
  }
  const std::optional<std::string> found = _lookup ? _lookup() : std::nullopt;
  if (!found || !is_ipv4_address(*found)) {
    result.outcome = Outcome::lookup_failed;
    result.message = "未能获取本机公网 IP，白名单未改动";
    return result;
  }
  result.new_address = *found;
  result.old_address = text_setting(_settings, WHITELIST_ADDRESS_KEY);
  if (result.old_address == result.new_address) return result;
  if (result.old_address.empty()) {
    _settings.set(WHITELIST_ADDRESS_KEY, result.new_address);
    result.outcome = Outcome::first_seen;
    result.message = "本机公网 IP: " + result.new_address + "，变化时将自动更新白名单";
    return result;
  }

  auto log = get_logger(LOGGER_CLIENT);
  ToVixProxyClient client(text_setting(_settings, "tovixproxy_base_url"), jwt);
  std::string failure;
  const auto products = short_term_products(client, failure);
  const QString old_address = QString::fromStdString(result.old_address);
  const QString new_address = QString::fromStdString(result.new_address);
  if (products) {
    for (const Json& product : *products) {
      const Json host_id = product.value("id", Json(""));
      if (host_id.is_null() || text_of(host_id).empty()) continue;
      const Json read = client.get_short_term_whitelist(host_id);
      if (!read.value("success", false)) {
        failure = message_of(read);
        continue;
      }
      const Json data = read.value("data", Json::object());
      const Json stored = data.is_object() ? data.value("ip_white", Json("")) : Json("");
      const QString current =
          whitelist_from_console(QString::fromStdString(stored.is_string() ? stored.get<std::string>() : ""));
      const auto changed = replaced(current.split(QLatin1Char('\n'), Qt::SkipEmptyParts), old_address, new_address);
      if (!changed || changed->isEmpty()) continue;
      const Json written = client.set_short_term_whitelist(host_id, changed->join(QLatin1Char('\n')).toStdString());
      if (!written.value("success", false)) {
        failure = message_of(written);
        continue;
      }
      ++result.products_changed;
      log->info("白名单 {}: {} → {}", text_of(host_id), result.old_address, result.new_address);
    }
  }
  if (!failure.empty()) {
    result.outcome = Outcome::failed;
    result.message = "白名单自动更新失败: " + failure;
    log->warn("白名单自动更新失败 ({} → {}): {}", result.old_address, result.new_address, failure);
    return result;
  }
  _settings.set(WHITELIST_ADDRESS_KEY, result.new_address);
  result.outcome = Outcome::updated;
  result.message = result.products_changed > 0
                       ? "公网 IP 变为 " + result.new_address + "，已更新 " + std::to_string(result.products_changed) +
                             " 个产品的白名单"
                       : "公网 IP 变为 " + result.new_address + "，没有产品的白名单含旧地址 " + result.old_address;
  return result;
}

}  // namespace tovix::app
