#pragma once
// Reading the web client's result records in the dialogs.
#include <QString>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ui/ui_common_export.h"

namespace tovix::ui {

// A key counts as set when it is present and its value is not null, false, zero, an empty
// text, an empty array or an empty object.
UI_COMMON_EXPORT bool is_set(const nlohmann::ordered_json& record, std::string_view key);

// The value under key as display text (a text as it stands, anything else as JSON), or
// fallback when the key is not set.
UI_COMMON_EXPORT QString text_or(const nlohmann::ordered_json& record, std::string_view key, const QString& fallback);

// The value under key as display text, or fallback when the key is absent or null. Unlike
// text_or, a zero, false or empty value still shows as itself.
UI_COMMON_EXPORT QString display_text(const nlohmann::ordered_json& record, std::string_view key,
                                      const QString& fallback = {});

}  // namespace tovix::ui
