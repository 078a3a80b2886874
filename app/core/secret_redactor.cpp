#include "app/core/secret_redactor.h"

#include <algorithm>
#include <regex>

namespace tovix::app {
namespace {

struct Shape {
  std::regex pattern;
  const char* replacement;
};

const std::vector<Shape>& credential_shapes() {
  static const std::vector<Shape> shapes = [] {
    const auto flags = std::regex::ECMAScript | std::regex::icase | std::regex::optimize;
    std::vector<Shape> list;
    list.push_back({std::regex(R"((bearer\s+)[^\s"',;]+)", flags), "$1******"});
    list.push_back({std::regex(R"(eyJ[A-Za-z0-9_-]{4,}\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]*)", flags), "******"});
    list.push_back({std::regex(R"((://[^/\s:@]*:)[^@\s/]+@)", flags), "$1******@"});
    list.push_back({std::regex(R"(((?:pass|pwd|token|jwt|secret|key|authorization|密码)\w*["']?\s*(?:=|:|：)\s*["']?))"
                               R"(([^"'&\s,;}]+))",
                               flags),
                    "$1******"});
    return list;
  }();
  return shapes;
}

void replace_all(std::string& text, const std::string& secret) {
  for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
    text.replace(at, secret.size(), REDACTED);
    at += std::char_traits<char>::length(REDACTED);
  }
}

void add_text(std::vector<std::string>& into, const Json& value) {
  if (value.is_string() && !value.get_ref<const std::string&>().empty()) into.push_back(value.get<std::string>());
}

}  // namespace

void SecretRedactor::set_secrets(const std::string& source, std::vector<std::string> secrets) {
  std::erase_if(secrets, [](const std::string& s) { return s.size() < MIN_SECRET_LENGTH; });
  std::lock_guard guard(_lock);
  _by_source[source] = std::move(secrets);
  std::vector<std::string> all;
  for (const auto& [name, list] : _by_source) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  });
  all.erase(std::unique(all.begin(), all.end()), all.end());
  _secrets = std::move(all);
}

std::string SecretRedactor::redact(std::string_view text) const {
  std::string result(text);
  {
    std::lock_guard guard(_lock);
    for (const std::string& secret : _secrets) replace_all(result, secret);
  }
  for (const Shape& shape : credential_shapes()) result = std::regex_replace(result, shape.pattern, shape.replacement);
  return result;
}

std::vector<std::string> secrets_of(const Json& settings) {
  std::vector<std::string> secrets;
  if (!settings.is_object()) return secrets;
  for (const char* key : {"proxy_password", "api_pass", "tovixproxy_password", "tovixproxy_jwt"}) {
    if (settings.contains(key)) add_text(secrets, settings[key]);
  }
  if (settings.contains("proxy_list") && settings["proxy_list"].is_array()) {
    for (const Json& entry : settings["proxy_list"]) {
      if (entry.is_object() && entry.contains("password")) add_text(secrets, entry["password"]);
    }
  }
  return secrets;
}

}  // namespace tovix::app
