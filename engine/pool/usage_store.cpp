#include "engine/pool/usage_store.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/atomic_file.h"
#include "common/logging.h"
#include "common/stored_file.h"

namespace tovix::pool {
namespace {

using Json = nlohmann::ordered_json;

constexpr int FILE_VERSION = 1;

std::uint64_t counter(const Json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || !it->is_number_integer()) return 0;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  const auto value = it->get<std::int64_t>();
  return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

}  // namespace

std::filesystem::path UsageStore::beside(const std::filesystem::path& config_path) {
  return config_path.parent_path() / FILE_NAME;
}

std::int64_t UsageStore::_wall_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

UsageStore::UsageStore(std::filesystem::path file, std::function<std::int64_t()> seconds_now)
    : _file(std::move(file)), _seconds_now(std::move(seconds_now)) {
  _load();
}

void UsageStore::_load() {
  std::error_code missing_check;
  if (!std::filesystem::exists(_file, missing_check)) return;
  std::string reason;
  try {
    const Json loaded = Json::parse(read_stored_file(_file));
    const auto proxies = loaded.is_object() ? loaded.find("proxies") : loaded.end();
    if (proxies != loaded.end() && proxies->is_object()) {
      for (const auto& [key, value] : proxies->items()) {
        if (!value.is_object()) continue;
        Record& record = _records[key];
        record.total = {counter(value, "bytes_up"), counter(value, "bytes_down"), counter(value, "connections")};
        record.last_used = static_cast<std::int64_t>(counter(value, "last_used"));
      }
      return;
    }
    reason = "不是用量记录";
  } catch (const std::exception& error) {
    reason = error.what();
  }
  _records.clear();
  auto logger = get_logger(LOGGER_ENGINE);
  try {
    const std::filesystem::path backup = backup_name(_file);
    std::filesystem::rename(_file, backup);
    logger->warn("代理用量文件无法读取 ({}), 已另存为 {}, 用量从零开始", reason, backup.string());
  } catch (const std::exception& error) {
    logger->error("代理用量文件无法读取 ({}), 也无法另存 ({}), 用量从零开始", reason, error.what());
  }
}

UsageStore::Record& UsageStore::_record_locked(const ProxyIdentity& proxy) {
  Record& record = _records[proxy.key()];
  record.last_used = _seconds_now();
  _changed = true;
  return record;
}

void UsageStore::add_connection(const ProxyIdentity& proxy) {
  std::lock_guard guard(_lock);
  Record& record = _record_locked(proxy);
  record.since_start.connections += 1;
  record.total.connections += 1;
}

void UsageStore::add_traffic(const ProxyIdentity& proxy, std::uint64_t bytes_up, std::uint64_t bytes_down) {
  if (bytes_up == 0 && bytes_down == 0) return;
  std::lock_guard guard(_lock);
  Record& record = _record_locked(proxy);
  record.since_start.bytes_up += bytes_up;
  record.since_start.bytes_down += bytes_down;
  record.total.bytes_up += bytes_up;
  record.total.bytes_down += bytes_down;
}

ProxyUsage UsageStore::usage_of(const ProxyIdentity& proxy) const {
  std::lock_guard guard(_lock);
  const auto it = _records.find(proxy.key());
  if (it == _records.end()) return {};
  return {it->second.since_start, it->second.total};
}

void UsageStore::start_session() {
  std::lock_guard guard(_lock);
  for (auto& [key, record] : _records) record.since_start = {};
}

std::string UsageStore::_serialise_locked() {
  if (_records.size() > MAX_PROXIES) {
    std::vector<std::pair<std::int64_t, std::string>> by_age;
    by_age.reserve(_records.size());
    for (const auto& [key, record] : _records) by_age.emplace_back(record.last_used, key);
    std::sort(by_age.begin(), by_age.end());
    for (std::size_t i = 0; i + MAX_PROXIES < by_age.size(); ++i) _records.erase(by_age[i].second);
  }
  Json proxies = Json::object();
  for (const auto& [key, record] : _records) {
    proxies[key] = Json{{"bytes_up", record.total.bytes_up},
                        {"bytes_down", record.total.bytes_down},
                        {"connections", record.total.connections},
                        {"last_used", record.last_used}};
  }
  return Json{{"version", FILE_VERSION}, {"proxies", std::move(proxies)}}.dump(2);
}

bool UsageStore::save() {
  std::lock_guard write_guard(_write_lock);
  std::string text;
  {
    std::lock_guard guard(_lock);
    if (!_changed) return true;
    text = _serialise_locked();
    _changed = false;
  }
  try {
    write_file_atomically(_file, text);
    return true;
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->error("保存代理用量失败: {}", error.what());
    std::lock_guard guard(_lock);
    _changed = true;
    return false;
  }
}

}  // namespace tovix::pool
