#include "ui/status_style.h"

#include <QLabel>

namespace tovix::ui {

const char* status_style(StatusKind kind) {
  switch (kind) {
    case StatusKind::error:
      return STATUS_STYLE_ERROR;
    case StatusKind::success:
      return STATUS_STYLE_SUCCESS;
    case StatusKind::neutral:
      break;
  }
  return STATUS_STYLE_NEUTRAL;
}

void show_status(QLabel* label, const QString& text, StatusKind kind) {
  label->setText(text);
  label->setStyleSheet(QString::fromUtf8(status_style(kind)));
}

}  // namespace tovix::ui
