#include "ui/signin_dialog/captcha_image.h"

#include <QByteArray>

#include "ui/signin_dialog/signin_look.h"

namespace tovix::ui {

QPixmap captcha_pixmap(const QString& image_base64) {
  QPixmap image;
  if (!image.loadFromData(QByteArray::fromBase64(image_base64.toLatin1()))) return {};
  return image.scaled(CAPTCHA_WIDTH, CAPTCHA_HEIGHT, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

}  // namespace tovix::ui
