#pragma once
// Text helpers shared by modules that read bytes from other programs or the network.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/common_export.h"

namespace tovix {

// The bytes as UTF-8, each invalid or truncated sequence replaced by U+FFFD; at most
// `max_characters` characters (a replacement counts as one).
COMMON_EXPORT std::string to_valid_utf8(std::string_view bytes, size_t max_characters = std::string_view::npos);

// The text without white space (blank, tab, line breaks, form feed, vertical tab) at either end.
COMMON_EXPORT std::string_view strip_whitespace(std::string_view text);

// The path as UTF-8 text (std::filesystem's string() uses the ANSI code page on Windows).
COMMON_EXPORT std::string path_text(const std::filesystem::path& path);

// One Windows command line for the argument vector, quoted so that CommandLineToArgvW and the
// C runtime give back exactly these arguments (an argument with spaces is enclosed in quotes).
COMMON_EXPORT std::string windows_command_line(const std::vector<std::string>& argv);

// "0 B", "1.5 KB", "12.3 MB", "1.02 GB" (1024-based).
COMMON_EXPORT std::string format_bytes(std::uint64_t bytes);
// format_bytes of the rounded rate followed by "/s".
COMMON_EXPORT std::string format_rate(double bytes_per_second);

}  // namespace tovix
