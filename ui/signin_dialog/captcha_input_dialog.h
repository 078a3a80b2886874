#pragma once
// Shows the image captcha of the SMS sign-in and asks for its text.
#include <QDialog>
#include <QString>

#include "ui/signin_dialog/signin_dialog_export.h"

class QLineEdit;

namespace tovix::ui {

class SIGNIN_DIALOG_EXPORT CaptchaInputDialog : public QDialog {
  Q_OBJECT
 public:
  explicit CaptchaInputDialog(const QString& image_base64, QWidget* parent = nullptr);

  // What the user typed, without surrounding white space.
  QString get_captcha_text() const;

 private:
  QLineEdit* edit_captcha;
};

}  // namespace tovix::ui
