#pragma once
// The dialogs' push buttons: a pointing-hand cursor, optionally an object name that the dialog's
// style sheet selects on, or a style sheet of their own.
#include <QString>

#include "ui/ui_common_export.h"

class QPushButton;

namespace tovix::ui {

UI_COMMON_EXPORT QPushButton* pointing_button(const QString& text, const QString& object_name = {},
                                              const QString& style_sheet = {});

}  // namespace tovix::ui
