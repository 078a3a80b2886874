#pragma once
// The status line of the dialogs: one text in one of three styles.
#include <QString>

#include "ui/ui_common_export.h"

class QLabel;

namespace tovix::ui {

inline constexpr const char* STATUS_STYLE_NEUTRAL = "color: #a6adc8; font-size: 12px;";
inline constexpr const char* STATUS_STYLE_ERROR = "color: #e64553; font-size: 12px;";
inline constexpr const char* STATUS_STYLE_SUCCESS = "color: #40a02b; font-size: 12px;";

enum class StatusKind { neutral, error, success };

UI_COMMON_EXPORT const char* status_style(StatusKind kind);

// Sets the label's text and its style sheet for that kind.
UI_COMMON_EXPORT void show_status(QLabel* label, const QString& text, StatusKind kind);

}  // namespace tovix::ui
