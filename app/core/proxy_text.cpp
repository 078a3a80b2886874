#include "app/core/proxy_text.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "common/json_values.h"
#include "common/text.h"

namespace tovix::app {
namespace {

// What the problem text quotes of an answer that is neither an address list nor JSON.
constexpr std::size_t QUOTED_ANSWER_CHARACTERS = 120;

bool is_host_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

std::vector<std::string_view> split_lines(std::string_view body) {
  std::vector<std::string_view> lines;
  while (!body.empty()) {
    const std::size_t end = body.find('\n');
    lines.push_back(strip_whitespace(body.substr(0, end)));  // also drops the CR of CRLF
    if (end == std::string_view::npos) break;
    body.remove_prefix(end + 1);
  }
  return lines;
}

// "host:port" or "host:port:user:pass"; the password keeps any further colons.
std::optional<Json> entry_of_line(std::string_view line, const std::string& type, const std::string& username,
                                  const std::string& password) {
  const std::size_t first = line.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = line.find(':', first + 1);
  const auto address = split_host_port(line.substr(0, second));
  if (!address) return std::nullopt;
  if (second == std::string_view::npos)
    return make_proxy_entry(type, address->first, address->second, username, password);
  const std::string_view credentials = line.substr(second + 1);
  const std::size_t colon = credentials.find(':');
  const std::string user(credentials.substr(0, colon));
  const std::string pass(colon == std::string_view::npos ? std::string_view() : credentials.substr(colon + 1));
  return make_proxy_entry(type, address->first, address->second, user, pass);
}

std::string problem_of(std::string_view body) {
  const std::string_view text = strip_whitespace(body);
  if (text.empty()) return "提取结果为空";
  const Json parsed = Json::parse(text.begin(), text.end(), nullptr, false);
  if (parsed.is_object()) {
    for (const char* key : {"msg", "message", "error", "info"}) {
      if (parsed.contains(key) && is_truthy(parsed[key])) return "提取接口返回: " + text_of(parsed[key]);
    }
  }
  return "提取结果中没有代理地址: " + to_valid_utf8(text, QUOTED_ANSWER_CHARACTERS);
}

}  // namespace

Json make_proxy_entry(const std::string& type, const std::string& host, int port, const std::string& username,
                      const std::string& password) {
  return Json{{"type", type}, {"host", host}, {"port", port}, {"username", username}, {"password", password}};
}

bool is_valid_host(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), is_host_character);
}

std::optional<int> parse_port(std::string_view text) {
  text = strip_whitespace(text);
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) return std::nullopt;
  return port;
}

std::optional<std::pair<std::string, int>> split_host_port(std::string_view text) {
  text = strip_whitespace(text);
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view host = strip_whitespace(text.substr(0, colon));
  if (!is_valid_host(host)) return std::nullopt;
  const std::optional<int> port = parse_port(text.substr(colon + 1));
  if (!port) return std::nullopt;
  return std::make_pair(std::string(host), *port);
}

std::optional<Json> entry_from_product(const std::string& ip_first, const std::string& username,
                                       const std::string& password, const std::string& type) {
  const auto address = split_host_port(ip_first);
  if (!address) return std::nullopt;
  return make_proxy_entry(type, address->first, address->second, username, password);
}

ExtractedProxies parse_extraction_answer(std::string_view body, const std::string& type, const std::string& username,
                                         const std::string& password) {
  ExtractedProxies result;
  for (std::string_view line : split_lines(body)) {
    if (auto entry = entry_of_line(line, type, username, password)) result.entries.push_back(std::move(*entry));
  }
  if (result.entries.empty()) result.problem = problem_of(body);
  return result;
}

}  // namespace tovix::app
