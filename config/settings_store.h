#pragma once
// The one process-wide settings object, kept in config.json. Every change is written to the
// file at once; reads and writes of the record are safe from any thread.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "config/settings_store_export.h"
#include "engine/rules/rule_json.h"

namespace tovix {

using Json = nlohmann::ordered_json;

// config.json beside the executable in a packaged build; otherwise in the parent folder of the
// folder that holds this library (the ".." is kept as it is).
SETTINGS_STORE_EXPORT std::filesystem::path _get_config_path();
SETTINGS_STORE_EXPORT extern const std::filesystem::path CONFIG_PATH;

// The settings record with its keys in file order, each at its default: the 17 keys of the
// original file, then the routing rules ("route_rules", see engine/rules/rule_json.h) and
// RESOLVE_NAMES_AT_PROXY_KEY.
SETTINGS_STORE_EXPORT Json default_settings();

class SETTINGS_STORE_EXPORT SettingsStore {
 public:
  // The one instance, created and loaded from CONFIG_PATH on the first call.
  static SettingsStore& instance();
  // Same, for a store kept elsewhere: the path counts only on the very first call of either.
  static SettingsStore& _instance_at(const std::filesystem::path& config_path);

  // An independent store on the given file (loaded at once); for tests and tools.
  explicit SettingsStore(std::filesystem::path config_path);
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  void load();
  void save();

  Json get(const std::string& key, const Json& default_value = nullptr) const;
  void set(const std::string& key, Json value);
  Json to_dict() const;
  const std::filesystem::path& config_path() const { return _config_path; }
  // Why the last load replaced the file's routing rules by the default ones (an unknown action,
  // a bad network...), with where the file was kept; empty when the rules loaded as they were.
  std::string route_rules_problem() const;

  // `port` may be a number or a decimal text; anything else throws std::invalid_argument and
  // changes nothing.
  void add_proxy(const std::string& type, const std::string& host, const Json& port,
                 const std::string& username = "", const std::string& password = "");
  // Indexes outside 0..size-1 change and write nothing.
  void remove_proxy(std::int64_t index);
  void update_proxy(std::int64_t index, const std::string& type, const std::string& host, const Json& port,
                    const std::string& username = "", const std::string& password = "");

  // "host:port", the host alone when the port is zero, or empty.
  std::string proxy_addr() const;
  // Takes "host:port"; the port part is split at the last colon and is 0 when not a number.
  void set_proxy_addr(const std::string& address);

#define TOVIX_SETTING(name)                                 \
  Json name() const { return get(#name); }                 \
  void set_##name(Json value) { set(#name, std::move(value)); }
  TOVIX_SETTING(proxy_type)
  TOVIX_SETTING(proxy_host)
  TOVIX_SETTING(proxy_port)
  TOVIX_SETTING(proxy_username)
  TOVIX_SETTING(proxy_password)
  TOVIX_SETTING(proxy_list)
  TOVIX_SETTING(api_url)
  TOVIX_SETTING(api_use)
  TOVIX_SETTING(api_user)
  TOVIX_SETTING(api_pass)
  TOVIX_SETTING(api_interval)
  TOVIX_SETTING(process_list)
  TOVIX_SETTING(enabled)
  TOVIX_SETTING(tovixproxy_jwt)
  TOVIX_SETTING(tovixproxy_account)
  TOVIX_SETTING(tovixproxy_password)
  TOVIX_SETTING(tovixproxy_base_url)
  TOVIX_SETTING(route_rules)
  TOVIX_SETTING(resolve_names_at_proxy)
#undef TOVIX_SETTING

 private:
  void _use_defaults_after_unreadable_file(const std::string& reason);
  // Renames the file to a free backup name; the name, or nothing (logged) when that failed.
  std::optional<std::filesystem::path> _keep_file_aside(const std::string& reason);
  Json _proxy_list_copy() const;

  static std::atomic<SettingsStore*> _instance;
  static std::mutex _lock;

  Json _config = Json::object();
  std::string _route_rules_problem;  // guarded by _record_lock
  const std::filesystem::path _config_path;
  mutable std::mutex _record_lock;  // guards _config
  std::mutex _load_lock;            // held for the whole of each file write
  std::mutex _list_lock;            // makes each proxy-list change one read-modify-write
};

}  // namespace tovix
