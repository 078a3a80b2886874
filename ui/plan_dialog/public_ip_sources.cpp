#include "ui/plan_dialog/public_ip_sources.h"

#include <cctype>
// GCC 12 at -O2 with the sanitizers reports a false "maybe uninitialized" inside std::regex.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include <nlohmann/json.hpp>

#include "common/json_values.h"
#include "common/text.h"

namespace tovix {
namespace {

std::optional<std::string> non_empty(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

bool starts_with_ip(std::string_view line) {
  return line.size() >= 2 && std::tolower(static_cast<unsigned char>(line[0])) == 'i' &&
         std::tolower(static_cast<unsigned char>(line[1])) == 'p';
}

std::optional<std::string> from_ip_line(std::string_view body) {
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find_first_of("\r\n\v\f", start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view line = strip_whitespace(body.substr(start, end - start));
    start = end + 1;
    if (!starts_with_ip(line)) continue;
    // The second piece between colons, so "IP: a" and "IP: a: b" both give "a".
    const std::size_t first_colon = line.find(':');
    if (first_colon == std::string_view::npos) continue;
    const std::string_view rest = line.substr(first_colon + 1);
    if (auto address = non_empty(strip_whitespace(rest.substr(0, rest.find(':'))))) return address;
  }
  return std::nullopt;
}

std::optional<std::string> first_dotted_quad(std::string_view body) {
  static const std::regex quad(R"((\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}))");
  std::match_results<std::string_view::const_iterator> match;
  if (!std::regex_search(body.begin(), body.end(), match, quad)) return std::nullopt;
  return match[1].str();
}

std::optional<std::string> from_json_origin(std::string_view body) {
  const auto answer = nlohmann::ordered_json::parse(body, nullptr, false);
  if (!answer.is_object()) return std::nullopt;
  const auto origin = answer.find("origin");
  if (origin == answer.end() || origin->is_null()) return std::nullopt;
  return non_empty(strip_whitespace(text_of(*origin)));
}

}  // namespace

std::vector<PublicIpSource> default_public_ip_sources() {
  return {
      {"http://cip.cc/", PublicIpParser::line_format},
      {"http://ip.3322.net/", PublicIpParser::dotted_quad},
      {"http://httpbin.org/ip", PublicIpParser::json_origin},
  };
}

std::optional<std::string> parse_public_ip(std::string_view body, PublicIpParser parser) {
  const std::string_view trimmed = strip_whitespace(body);
  switch (parser) {
    case PublicIpParser::line_format:
      return from_ip_line(trimmed);
    case PublicIpParser::json_origin:
      return from_json_origin(trimmed);
    case PublicIpParser::dotted_quad:
      break;
  }
  return first_dotted_quad(trimmed);
}

}  // namespace tovix
