#include "engine/relay/proxy_settings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <stdexcept>

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;

const Json* present(const Json& record, const char* key) {
  if (!record.is_object()) return nullptr;
  auto it = record.find(key);
  return it == record.end() || it->is_null() ? nullptr : &*it;
}

std::string text_setting(const Json& record, const char* key, std::string fallback) {
  const Json* value = present(record, key);
  if (value == nullptr) return fallback;
  if (!value->is_string()) throw std::invalid_argument(std::string("proxy setting \"") + key + "\" is not a text");
  return value->get<std::string>();
}

int port_setting(const Json& record, int fallback) {
  const Json* value = present(record, "port");
  if (value == nullptr) return fallback;
  if (value->is_number_integer())
    return static_cast<int>(std::clamp<std::int64_t>(value->get<std::int64_t>(), -1, 65536));
  if (value->is_string()) {
    const std::string text = value->get<std::string>();
    if (!text.empty() && text.size() <= 5 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
      return std::stoi(text);
    }
  }
  throw std::invalid_argument("proxy setting \"port\" is not a port number");
}

}  // namespace

ProxySettings read_proxy_settings(const Json& record) {
  ProxySettings defaults;
  return {text_setting(record, "type", defaults.type), text_setting(record, "host", defaults.host),
          port_setting(record, defaults.port), text_setting(record, "username", defaults.username),
          text_setting(record, "password", defaults.password)};
}

}  // namespace tovix
