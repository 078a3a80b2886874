#include "config/settings_store.h"

#include <stdexcept>
#include <system_error>

#include "common/atomic_file.h"
#include "common/json_values.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/stored_file.h"
#include "common/text.h"
#include "common/vendor.h"
#include "engine/rules/rule_json.h"

namespace tovix {
namespace {

constexpr const char* kProxyList = "proxy_list";

Json make_proxy_entry(const std::string& type, const std::string& host, const Json& port, const std::string& username,
                      const std::string& password) {
  Json entry = Json::object();
  entry["type"] = type;
  entry["host"] = host;
  entry["port"] = port;
  entry["username"] = username;
  entry["password"] = password;
  return entry;
}

}  // namespace

std::filesystem::path _get_config_path() {
#ifdef TOVIX_PACKAGED
  // A packaged build (configured with TOVIX_PACKAGED) keeps its settings beside the executable.
  return executable_dir() / "config.json";
#else
  // From a build tree: beside the folder that holds this library.
  return module_dir(reinterpret_cast<const void*>(&_get_config_path)) / ".." / "config.json";
#endif
}

const std::filesystem::path CONFIG_PATH = _get_config_path();

Json default_settings() {
  return Json{
      {"proxy_type", "socks5"},
      {"proxy_host", "127.0.0.1"},
      {"proxy_port", 1080},
      {"proxy_username", ""},
      {"proxy_password", ""},
      {"proxy_list", Json::array()},
      {"api_url", ""},
      {"api_use", false},
      {"api_user", ""},
      {"api_pass", ""},
      {"api_interval", 30},
      {"process_list", Json::array()},
      {"enabled", false},
      {"tovixproxy_jwt", ""},
      {"tovixproxy_account", ""},
      {"tovixproxy_password", ""},
      {"tovixproxy_base_url", TOVIXPROXY_DEFAULT_BASE_URL},
      {ROUTE_RULES_KEY, rules_to_json(default_route_rules())},
      {RESOLVE_NAMES_AT_PROXY_KEY, true},
  };
}

std::atomic<SettingsStore*> SettingsStore::_instance{nullptr};
std::mutex SettingsStore::_lock;

SettingsStore& SettingsStore::instance() { return _instance_at(CONFIG_PATH); }

SettingsStore& SettingsStore::_instance_at(const std::filesystem::path& config_path) {
  SettingsStore* existing = _instance.load(std::memory_order_acquire);
  if (existing != nullptr) return *existing;
  std::lock_guard guard(_lock);
  existing = _instance.load(std::memory_order_relaxed);
  if (existing == nullptr) {
    // Lives until the process ends; published only once loaded.
    existing = new SettingsStore(config_path);
    _instance.store(existing, std::memory_order_release);
  }
  return *existing;
}

SettingsStore::SettingsStore(std::filesystem::path config_path) : _config_path(std::move(config_path)) { load(); }

void SettingsStore::load() {
  Json defaults = default_settings();
  std::error_code missing_check;
  if (!std::filesystem::exists(_config_path, missing_check)) {
    {
      std::lock_guard guard(_record_lock);
      _config = std::move(defaults);
    }
    save();
    return;
  }

  Json loaded;
  try {
    loaded = Json::parse(read_stored_file(_config_path));
  } catch (const Json::parse_error& error) {
    _use_defaults_after_unreadable_file(error.what());
    return;
  } catch (const std::system_error& error) {
    _use_defaults_after_unreadable_file(error.what());
    return;
  }
  if (!loaded.is_object()) {
    _use_defaults_after_unreadable_file("顶层不是 JSON 对象");
    return;
  }

  for (const auto& [key, value] : defaults.items()) {
    if (!loaded.contains(key)) loaded[key] = value;
  }

  // A file from before the proxy list existed: its single proxy becomes the list.
  if (!is_truthy(loaded[kProxyList])) {
    const Json& host = loaded["proxy_host"];
    const Json& port = loaded["proxy_port"];
    if (host.is_string() && !host.get_ref<const std::string&>().empty() && is_truthy(port)) {
      Json entry = Json::object();
      entry["type"] = loaded.value("proxy_type", Json("socks5"));
      entry["host"] = host;
      entry["port"] = port;
      entry["username"] = loaded.value("proxy_username", Json(""));
      entry["password"] = loaded.value("proxy_password", Json(""));
      loaded[kProxyList] = Json::array({entry});
    }
  }

  // Rules the engine could not follow: the file is kept as it is and the defaults take their
  // place, the other settings stay.
  std::string rules_problem;
  try {
    rules_from_json(loaded[ROUTE_RULES_KEY]);
  } catch (const RuleError& error) {
    rules_problem = error.what();
    loaded[ROUTE_RULES_KEY] = defaults[ROUTE_RULES_KEY];
  }
  std::optional<std::filesystem::path> kept;
  if (!rules_problem.empty()) {
    kept = _keep_file_aside(rules_problem);
    rules_problem =
        kept ? fmt::format("配置文件中的分流规则无效 ({}), 已另存为 {}, 改用默认规则", rules_problem, kept->string())
             : fmt::format("配置文件中的分流规则无效 ({}), 暂用默认规则, 原文件保留不动", rules_problem);
    get_logger(LOGGER_SETTINGS)->error("{}", rules_problem);
  }
  {
    std::lock_guard guard(_record_lock);
    _config = std::move(loaded);
    _route_rules_problem = rules_problem;
  }
  if (kept) save();
}

std::string SettingsStore::route_rules_problem() const {
  std::lock_guard guard(_record_lock);
  return _route_rules_problem;
}

std::optional<std::filesystem::path> SettingsStore::_keep_file_aside(const std::string& reason) {
  try {
    const std::filesystem::path backup = backup_name(_config_path);
    std::filesystem::rename(_config_path, backup);
    return backup;
  } catch (const std::exception& error) {
    get_logger(LOGGER_SETTINGS)->error("配置文件 ({}) 无法另存: {}", reason, error.what());
    return std::nullopt;
  }
}

void SettingsStore::_use_defaults_after_unreadable_file(const std::string& reason) {
  const auto kept = _keep_file_aside(reason);
  if (kept) {
    get_logger(LOGGER_SETTINGS)->warn("配置文件无法读取 ({}), 已另存为 {}, 改用默认配置", reason, kept->string());
  } else {
    get_logger(LOGGER_SETTINGS)->error("配置文件无法读取 ({}), 改用默认配置, 原文件保留不动", reason);
  }
  {
    std::lock_guard guard(_record_lock);
    _config = default_settings();
    _route_rules_problem.clear();
  }
  // The unreadable file is only replaced once a copy of it is safe.
  if (kept) save();
}

void SettingsStore::save() {
  std::lock_guard write_guard(_load_lock);
  std::string text;
  {
    std::lock_guard guard(_record_lock);
    text = _config.dump(4, ' ', false, Json::error_handler_t::replace);
  }
  try {
    const auto folder = _config_path.parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder);
    write_file_atomically(_config_path, text);
  } catch (const std::exception& error) {
    get_logger(LOGGER_SETTINGS)->error("保存配置失败: {}", error.what());
  }
}

Json SettingsStore::get(const std::string& key, const Json& default_value) const {
  std::lock_guard guard(_record_lock);
  auto it = _config.find(key);
  return it == _config.end() ? default_value : *it;
}

void SettingsStore::set(const std::string& key, Json value) {
  {
    std::lock_guard guard(_record_lock);
    _config[key] = std::move(value);
  }
  save();
}

Json SettingsStore::to_dict() const {
  std::lock_guard guard(_record_lock);
  return _config;
}

Json SettingsStore::_proxy_list_copy() const {
  Json list = get(kProxyList);
  return list.is_array() ? list : Json::array();
}

void SettingsStore::add_proxy(const std::string& type, const std::string& host, const Json& port,
                              const std::string& username, const std::string& password) {
  Json entry = make_proxy_entry(type, host, to_integer(port), username, password);
  std::lock_guard guard(_list_lock);
  Json list = _proxy_list_copy();
  list.push_back(std::move(entry));
  set_proxy_list(std::move(list));
}

void SettingsStore::remove_proxy(std::int64_t index) {
  std::lock_guard guard(_list_lock);
  Json list = _proxy_list_copy();
  if (index < 0 || index >= static_cast<std::int64_t>(list.size())) return;
  list.erase(static_cast<std::size_t>(index));
  set_proxy_list(std::move(list));
}

void SettingsStore::update_proxy(std::int64_t index, const std::string& type, const std::string& host, const Json& port,
                                 const std::string& username, const std::string& password) {
  Json entry = make_proxy_entry(type, host, to_integer(port), username, password);
  std::lock_guard guard(_list_lock);
  Json list = _proxy_list_copy();
  if (index < 0 || index >= static_cast<std::int64_t>(list.size())) return;
  list[static_cast<std::size_t>(index)] = std::move(entry);
  set_proxy_list(std::move(list));
}

std::string SettingsStore::proxy_addr() const {
  const Json host = get("proxy_host", "");
  const Json port = get("proxy_port", 0);
  const std::string host_text = is_truthy(host) ? text_of(host) : std::string();
  if (!host_text.empty() && is_truthy(port)) return host_text + ":" + text_of(port);
  return host_text;
}

void SettingsStore::set_proxy_addr(const std::string& address) {
  const std::string value(strip_whitespace(address));
  if (value.empty()) {
    set_proxy_host("");
    set_proxy_port(0);
    return;
  }
  const auto colon = value.rfind(':');
  const std::string host(strip_whitespace(std::string_view(value).substr(0, colon)));
  std::int64_t port = 0;
  if (colon != std::string::npos) {
    try {
      port = to_integer(Json(std::string(strip_whitespace(std::string_view(value).substr(colon + 1)))));
    } catch (const std::invalid_argument&) {
      port = 0;
    }
  }
  set_proxy_host(host);
  set_proxy_port(port);
}

}  // namespace tovix
