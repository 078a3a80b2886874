#include "ui/signin_dialog/captcha_input_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/pointing_button.h"
#include "ui/signin_dialog/captcha_image.h"
#include "ui/signin_dialog/signin_look.h"

namespace tovix::ui {
namespace {

constexpr int CAPTCHA_TEXT_LIMIT = 10;

}  // namespace

CaptchaInputDialog::CaptchaInputDialog(const QString& image_base64, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("输入图形验证码"));
  setFixedSize(250, 160);
  setWindowFlags(SIGNIN_WINDOW_FLAGS);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 12, 16, 12);
  layout->setSpacing(8);

  auto* image = new QLabel(this);
  image->setObjectName(QStringLiteral("captcha_image"));
  image->setFixedSize(CAPTCHA_WIDTH, CAPTCHA_HEIGHT);
  image->setAlignment(Qt::AlignCenter);
  image->setStyleSheet(QString::fromUtf8(CAPTCHA_STYLE));
  image->setPixmap(captcha_pixmap(image_base64));
  layout->addWidget(image, 0, Qt::AlignCenter);

  edit_captcha = new QLineEdit(this);
  edit_captcha->setObjectName(QStringLiteral("edit_captcha"));
  edit_captcha->setPlaceholderText(QStringLiteral("请输入图形验证码"));
  edit_captcha->setMaxLength(CAPTCHA_TEXT_LIMIT);
  layout->addWidget(edit_captcha);

  auto* buttons = new QHBoxLayout;
  QPushButton* confirm = pointing_button(QStringLiteral("确认"));
  QPushButton* cancel = pointing_button(QStringLiteral("取消"));
  // Return in the text field confirms.
  confirm->setDefault(true);
  cancel->setAutoDefault(false);
  connect(confirm, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  buttons->addWidget(confirm);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);

  edit_captcha->setFocus();
}

QString CaptchaInputDialog::get_captcha_text() const { return edit_captcha->text().trimmed(); }

}  // namespace tovix::ui
