#include "ui/pointing_button.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace tovix::ui {

QPushButton* pointing_button(const QString& text, const QString& object_name, const QString& style_sheet) {
  auto* button = new QPushButton(text);
  button->setCursor(Qt::PointingHandCursor);
  if (!object_name.isEmpty()) button->setObjectName(object_name);
  if (!style_sheet.isEmpty()) button->setStyleSheet(style_sheet);
  return button;
}

QHBoxLayout* buttons_at_right(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (QPushButton* button : buttons) row->addWidget(button);
  return row;
}

}  // namespace tovix::ui
