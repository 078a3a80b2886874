#pragma once
// Text conversions at the Windows API boundary (Windows builds only): the API speaks UTF-16,
// the rest of the program UTF-8.
#include <string>
#include <string_view>

#include "common/common_export.h"

namespace tovix {

COMMON_EXPORT std::string utf8_from_wide(std::wstring_view text);
COMMON_EXPORT std::wstring wide_from_utf8(std::string_view text);

// The system's message for a Windows error code, without the trailing line break;
// "Windows error N" when the system has none.
COMMON_EXPORT std::string windows_error_text(unsigned long code);

}  // namespace tovix
