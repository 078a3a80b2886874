#include "engine/sniff/http_host.h"

#include <optional>
#include <string>

#include "common/host_address.h"

namespace tovix {
namespace {

constexpr std::size_t MAX_METHOD_LENGTH = 20;

bool is_method_character(char c) { return (c >= 'A' && c <= 'Z') || c == '-' || c == '_'; }

bool equals_lower_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The next line (without its CR LF or LF), or nothing when it has not ended yet.
std::optional<std::string_view> next_line(std::string_view bytes, std::size_t& at) {
  const std::size_t end = bytes.find('\n', at);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view line = bytes.substr(at, end - at);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  at = end + 1;
  return line;
}

// "GET /path HTTP/1.1": a request for this destination itself. A request meant for a proxy of
// the program's own (CONNECT, or an absolute URL) carries the name of another server.
bool is_origin_request(std::string_view line) {
  const std::size_t first_space = line.find(' ');
  const std::size_t last_space = line.rfind(' ');
  if (first_space == std::string_view::npos || first_space == last_space) return false;
  const std::string_view method = line.substr(0, first_space);
  const std::string_view target = line.substr(first_space + 1, last_space - first_space - 1);
  const std::string_view version = line.substr(last_space + 1);
  if (method == "CONNECT" || version.size() != 8 || version.substr(0, 7) != "HTTP/1.") return false;
  return target == "*" || (!target.empty() && target.front() == '/');
}

// The name of a Host value ("example.com", "example.com:8080"); nothing for an address.
SniffResult name_of_host_value(std::string_view value) {
  value = trim_blanks(value);
  if (!value.empty() && value.front() == '[') return SniffResult::no_name();  // an IPv6 address
  const std::size_t colon = value.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = value.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string_view::npos) return SniffResult::no_name();
    value = value.substr(0, colon);
  }
  auto host = normalize_host_name(value);
  return host ? SniffResult::found(std::move(*host)) : SniffResult::no_name();
}

}  // namespace

SniffResult read_http_host(std::string_view first_bytes) {
  // Decide on the method first, so that a binary protocol is told apart at its first bytes.
  std::size_t method_length = 0;
  while (method_length < first_bytes.size() && is_method_character(first_bytes[method_length])) ++method_length;
  if (method_length > MAX_METHOD_LENGTH) return SniffResult::no_name();
  if (method_length == first_bytes.size()) return SniffResult::need_more();
  if (method_length == 0 || first_bytes[method_length] != ' ') return SniffResult::no_name();

  const std::string_view head = first_bytes.substr(0, MAX_REQUEST_HEAD_BYTES);
  std::size_t at = 0;
  const auto request_line = next_line(head, at);
  if (!request_line)
    return first_bytes.size() > MAX_REQUEST_HEAD_BYTES ? SniffResult::no_name() : SniffResult::need_more();
  if (!is_origin_request(*request_line)) return SniffResult::no_name();
  for (;;) {
    const auto line = next_line(head, at);
    if (!line) return first_bytes.size() > MAX_REQUEST_HEAD_BYTES ? SniffResult::no_name() : SniffResult::need_more();
    if (line->empty()) return SniffResult::no_name();  // the head ended without a Host line
    const std::size_t colon = line->find(':');
    if (colon != std::string_view::npos && equals_lower_case(line->substr(0, colon), "host")) {
      return name_of_host_value(line->substr(colon + 1));
    }
  }
}

}  // namespace tovix
