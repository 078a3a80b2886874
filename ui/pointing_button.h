#pragma once
// The dialogs' push buttons: a pointing-hand cursor, optionally an object name that the dialog's
// style sheet selects on, or a style sheet of their own; and the row of a dialog's closing buttons.
#include <QString>
#include <initializer_list>

#include "ui/ui_common_export.h"

class QHBoxLayout;
class QPushButton;

namespace tovix::ui {

UI_COMMON_EXPORT QPushButton* pointing_button(const QString& text, const QString& object_name = {},
                                              const QString& style_sheet = {});

// A row that holds the buttons at its right end, in the order given.
UI_COMMON_EXPORT QHBoxLayout* buttons_at_right(std::initializer_list<QPushButton*> buttons);

}  // namespace tovix::ui
