#include "common/text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace tovix {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at `at`, or 0 when it is not one.
size_t valid_sequence_length(std::string_view bytes, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string to_valid_utf8(std::string_view bytes, size_t max_characters) {
  std::string result;
  result.reserve(std::min(bytes.size(), max_characters));
  size_t at = 0;
  for (size_t taken = 0; taken < max_characters && at < bytes.size(); ++taken) {
    const size_t length = valid_sequence_length(bytes, at);
    if (length == 0) {
      result += kReplacement;
      ++at;
    } else {
      result.append(bytes.substr(at, length));
      at += length;
    }
  }
  return result;
}

std::string_view strip_whitespace(std::string_view text) {
  constexpr std::string_view spaces = " \t\r\n\f\v";
  const auto first = text.find_first_not_of(spaces);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(spaces) - first + 1);
}

std::string path_text(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return {utf8.begin(), utf8.end()};
}

std::string windows_command_line(const std::vector<std::string>& argv) {
  std::string line;
  for (size_t index = 0; index < argv.size(); ++index) {
    const std::string& argument = argv[index];
    if (index > 0) line += ' ';
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += argument;
      continue;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : argument) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes are literal unless a quote follows them.
      line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');  // the closing quote must stay a quote
    line += '"';
  }
  return line;
}

std::string format_bytes(std::uint64_t bytes) {
  static constexpr std::array<const char*, 5> units = {"B", "KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < units.size()) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : "%.1f %s", value, units[unit]);
  return text;
}

std::string format_rate(double bytes_per_second) {
  return format_bytes(static_cast<std::uint64_t>(std::llround(std::max(0.0, bytes_per_second)))) + "/s";
}

}  // namespace tovix
