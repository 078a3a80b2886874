#pragma once
// Reading JSON values whose type is not guaranteed (the user's settings file, a server's
// answer): any JSON type may stand under any key.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "common/common_export.h"

namespace tovix {

// False for null, false, zero, an empty text, an empty array and an empty object.
COMMON_EXPORT bool is_truthy(const nlohmann::ordered_json& value);

// A text as it stands; any other value as its JSON text.
COMMON_EXPORT std::string text_of(const nlohmann::ordered_json& value);

// An integer from a number, a boolean or a decimal text with optional sign and surrounding
// white space; throws std::invalid_argument for anything else.
COMMON_EXPORT std::int64_t to_integer(const nlohmann::ordered_json& value);

}  // namespace tovix
