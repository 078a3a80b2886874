#pragma once
// Captcha images arrive from the console as Base64 PNG text.
#include <QPixmap>
#include <QString>

namespace tovix::ui {

// The decoded image scaled smoothly into the captcha box, keeping its aspect ratio; a null
// pixmap when the text is not a readable image.
QPixmap captcha_pixmap(const QString& image_base64);

}  // namespace tovix::ui
