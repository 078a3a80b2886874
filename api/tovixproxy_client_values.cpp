#include "api/tovixproxy_client_values.h"

#include <array>
#include <memory>

#include "common/logging.h"

namespace tovix::detail {
namespace {

const Json& null_value() {
  static const Json value;
  return value;
}

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-' || c == '~';
}

std::string percent_encode(std::string_view text, std::string_view blank) {
  static constexpr std::array<char, 16> hex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                               '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string result;
  result.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c)) {
      result += ch;
    } else if (c == ' ') {
      result += blank;
    } else {
      result += '%';
      result += hex[c >> 4];
      result += hex[c & 0x0F];
    }
  }
  return result;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The shape shared by the three token patterns: `literal`, blanks, `separator`, blanks, an
// opening quote from `quotes`, one or more characters outside `quotes` (captured), a closing quote.
std::optional<std::string> match_quoted_after(std::string_view html, std::string_view literal, char separator,
                                              std::string_view quotes) {
  for (std::size_t start = html.find(literal); start != std::string_view::npos; start = html.find(literal, start + 1)) {
    std::size_t i = start + literal.size();
    while (i < html.size() && is_space(html[i])) ++i;
    if (i >= html.size() || html[i] != separator) continue;
    ++i;
    while (i < html.size() && is_space(html[i])) ++i;
    if (i >= html.size() || quotes.find(html[i]) == std::string_view::npos) continue;
    const std::size_t value_start = ++i;
    while (i < html.size() && quotes.find(html[i]) == std::string_view::npos) ++i;
    if (i == value_start || i >= html.size()) continue;
    return std::string(html.substr(value_start, i - value_start));
  }
  return std::nullopt;
}

bool is_base64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
}

}  // namespace

const Json& field(const Json& obj, std::string_view key) {
  if (!obj.is_object()) return null_value();
  const auto it = obj.find(key);
  return it == obj.end() ? null_value() : *it;
}

std::optional<std::string> text_field(const Json& obj, std::string_view key) {
  const Json& value = field(obj, key);
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

Json object_field(const Json& obj, std::string_view key) {
  const Json& value = field(obj, key);
  return value.is_object() ? value : Json::object();
}

bool is_status_200(const Json& status) { return status.is_number() && status.get<double>() == 200.0; }

std::string form_encode(std::string_view text) { return percent_encode(text, "+"); }

std::string path_encode(std::string_view text) { return percent_encode(text, "%20"); }

spdlog::logger& client_log() {
  static const std::shared_ptr<spdlog::logger> logger = get_logger(LOGGER_CLIENT);
  return *logger;
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string result;
  for (const auto& [name, value] : fields) {
    if (!result.empty()) result += '&';
    result += form_encode(name) + '=' + form_encode(value);
  }
  return result;
}

std::optional<std::string> find_captcha_token(std::string_view html) {
  if (auto token = match_quoted_after(html, "tokenTag'", ':', "'")) return token;
  if (auto token = match_quoted_after(html, "\"tokenTag\"", ':', "\"")) return token;
  return match_quoted_after(html, "tokenTag", '=', "'\"");
}

std::optional<std::string> find_captcha_image(std::string_view html) {
  constexpr std::string_view prefix = "data:image/png;base64,";
  for (std::size_t start = html.find(prefix); start != std::string_view::npos; start = html.find(prefix, start + 1)) {
    std::size_t end = start + prefix.size();
    while (end < html.size() && is_base64_char(html[end])) ++end;
    if (end > start + prefix.size())
      return std::string(html.substr(start + prefix.size(), end - start - prefix.size()));
  }
  return std::nullopt;
}

}  // namespace tovix::detail
