#include "common/json_values.h"

#include "common/text.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace tovix {
namespace {

}  // namespace

bool is_truthy(const nlohmann::ordered_json& value) {
  switch (value.type()) {
    case nlohmann::ordered_json::value_t::null:
      return false;
    case nlohmann::ordered_json::value_t::boolean:
      return value.get<bool>();
    case nlohmann::ordered_json::value_t::number_integer:
    case nlohmann::ordered_json::value_t::number_unsigned:
      return value.get<std::int64_t>() != 0;
    case nlohmann::ordered_json::value_t::number_float:
      return value.get<double>() != 0.0;
    case nlohmann::ordered_json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    default:
      return !value.empty();
  }
}

std::string text_of(const nlohmann::ordered_json& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::int64_t to_integer(const nlohmann::ordered_json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::fabs(number) < 9.2e18) return static_cast<std::int64_t>(number);
  }
  if (value.is_string()) {
    std::string_view text = strip_whitespace(value.get_ref<const std::string&>());
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    std::int64_t result = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (!text.empty() && error == std::errc() && end == text.data() + text.size()) return result;
  }
  throw std::invalid_argument("不是整数: " + text_of(value));
}

}  // namespace tovix
