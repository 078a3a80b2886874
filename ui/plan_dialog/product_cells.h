#pragma once
// The cells of the product table.
#include <QString>

#include <nlohmann/json.hpp>

#include "ui/plan_dialog/plan_dialog_export.h"

class QTableWidgetItem;

namespace tovix {

inline constexpr const char* CELL_COLOUR = "#cdd6f4";
inline constexpr const char* ACTION_COLOUR = "#89b4fa";

// A due time in seconds since 1970-01-01 UTC as local "yyyy-MM-dd HH:mm"; empty for absent, null
// or 0. A value that is not a number of seconds shows as it came.
PLAN_DIALOG_EXPORT QString due_text(const nlohmann::ordered_json& due_time);

// Plain text in the ordinary cell colour.
PLAN_DIALOG_EXPORT QTableWidgetItem* text_cell(const QString& text);
// A clickable word: action colour, centred, underlined, with a tooltip.
PLAN_DIALOG_EXPORT QTableWidgetItem* action_cell(const QString& text, const QString& tooltip);
// An empty, unticked check box that cannot be selected or edited.
PLAN_DIALOG_EXPORT QTableWidgetItem* check_cell();

}  // namespace tovix
