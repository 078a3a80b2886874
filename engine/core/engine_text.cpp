#include "engine/core/engine_text.h"

#include <algorithm>
#include <cctype>

namespace tovix::engine_text {
namespace {

template <typename Container, typename Render>
std::string join(const Container& values, const char* open, const char* close, Render render) {
  std::string out = open;
  bool first = true;
  for (const auto& value : values) {
    if (!first) out += ", ";
    first = false;
    out += render(value);
  }
  out += close;
  return out;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::string render_text_set(const std::set<std::string>& values) {
  if (values.empty()) return "set()";
  return join(values, "{", "}", quoted);
}

std::string render_number_set(const std::set<std::uint32_t>& values) {
  if (values.empty()) return "set()";
  return join(values, "{", "}", [](std::uint32_t v) { return std::to_string(v); });
}

std::string render_number_list(const std::vector<int>& values) {
  return join(values, "[", "]", [](int v) { return std::to_string(v); });
}

std::string render_text_list(const std::vector<std::string>& values) { return join(values, "[", "]", quoted); }

std::string render_value(const nlohmann::ordered_json& value, bool top_level) {
  if (value.is_string()) return top_level ? value.get<std::string>() : quoted(value.get<std::string>());
  if (value.is_array()) {
    std::string out = "[";
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i > 0) out += ", ";
      out += render_value(value[i], false);
    }
    return out + "]";
  }
  if (value.is_object()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, item] : value.items()) {
      if (!first) out += ", ";
      first = false;
      out += quoted(key) + ": " + render_value(item, false);
    }
    return out + "}";
  }
  if (value.is_null()) return "None";
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  return value.dump();
}

std::string scalar_text(const nlohmann::ordered_json& record, const char* key) {
  if (!record.is_object()) return "";
  auto it = record.find(key);
  if (it == record.end() || it->is_null()) return "";
  if (it->is_string()) return it->get<std::string>();
  return it->dump();
}

std::string url_host(const std::string& url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return "";
  std::string authority = url.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
  std::string host;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    host = authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  return host;
}

}  // namespace tovix::engine_text
