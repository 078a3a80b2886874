#pragma once
// The OK and Cancel row at the foot of the window's dialogs.
#include <QString>
#include <functional>

class QBoxLayout;
class QDialog;
class QDialogButtonBox;

namespace tovix::app {

// Adds the row to `layout`: OK titled `ok_text` runs `on_ok` (which accepts the dialog once
// its input holds), Cancel rejects the dialog. Made inside the dialog, so that its style sheet
// (no icons on these buttons) applies as they are made.
QDialogButtonBox* add_dialog_buttons(QDialog* dialog, QBoxLayout* layout, const QString& ok_text,
                                     std::function<void()> on_ok);

}  // namespace tovix::app
