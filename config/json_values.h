#pragma once
// How stored settings values are read when their type is not guaranteed: the file is the
// user's and may hold any JSON type under any key.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "config/settings_store_export.h"

namespace tovix {

// False for null, false, zero, an empty text, an empty array and an empty object.
SETTINGS_STORE_EXPORT bool is_truthy(const nlohmann::ordered_json& value);

// A text as it stands; any other value as its JSON text.
SETTINGS_STORE_EXPORT std::string text_of(const nlohmann::ordered_json& value);

// An integer from a number, a boolean or a decimal text with optional sign and surrounding
// white space; throws std::invalid_argument for anything else.
SETTINGS_STORE_EXPORT std::int64_t to_integer(const nlohmann::ordered_json& value);

}  // namespace tovix
