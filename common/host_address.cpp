#include "common/host_address.h"

#include <algorithm>
#include <cstring>

namespace tovix {
namespace {

bool is_label_character(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

}  // namespace

std::optional<std::string> normalize_host_name(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  if (text.empty() || text.size() > MAX_HOST_NAME_LENGTH) return std::nullopt;
  std::string name(text);
  std::size_t label_start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      const std::size_t length = i - label_start;
      if (length == 0 || length > 63) return std::nullopt;
      label_start = i + 1;
      continue;
    }
    char& c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!is_label_character(c)) return std::nullopt;
  }
  const std::size_t last_label = name.rfind('.') == std::string::npos ? 0 : name.rfind('.') + 1;
  if (name[last_label] >= '0' && name[last_label] <= '9') return std::nullopt;
  return name;
}

}  // namespace tovix
