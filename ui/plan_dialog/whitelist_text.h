#pragma once
// The whitelist as the editor shows it and as it is saved: one address per line, each trimmed,
// no empty lines.
#include <QString>

#include "ui/plan_dialog/plan_dialog_export.h"

namespace tovix {

// The console's stored form, whose addresses may be separated by "," or by line breaks.
PLAN_DIALOG_EXPORT QString whitelist_from_console(const QString& stored);

// The editor's text; a comma inside a line is kept as the user typed it.
PLAN_DIALOG_EXPORT QString whitelist_from_editor(const QString& text);

}  // namespace tovix
