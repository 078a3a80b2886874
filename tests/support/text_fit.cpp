#include "tests/support/text_fit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace tovix::testing {
namespace {

// Style-sheet padding counts in a size hint although the glyphs need less; a pixel of it may go.
constexpr int LABEL_SLACK = 2;
// Between a button's icon and its text.
constexpr int ICON_SPACING = 4;

std::string name_of(const QWidget& widget, const QString& text) {
  const QString name =
      widget.objectName().isEmpty() ? QString::fromLatin1(widget.metaObject()->className()) : widget.objectName();
  return QStringLiteral("%1 \"%2\"").arg(name, text).toStdString();
}

// The rectangle the style draws the button's text (and icon) in.
QRect text_room(const QAbstractButton& button) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  option.icon = button.icon();
  option.iconSize = button.iconSize();
  QStyle::SubElement element = QStyle::SE_PushButtonContents;
  if (qobject_cast<const QCheckBox*>(&button)) element = QStyle::SE_CheckBoxContents;
  if (qobject_cast<const QRadioButton*>(&button)) element = QStyle::SE_RadioButtonContents;
  return button.style()->subElementRect(element, &option, &button);
}

template <class Widget>
QList<Widget*> with_root(const QWidget& root) {
  QList<Widget*> widgets = root.findChildren<Widget*>();
  if (auto* self = qobject_cast<Widget*>(const_cast<QWidget*>(&root))) widgets.prepend(self);
  return widgets;
}

}  // namespace

std::vector<std::string> buttons_cut_off(const QWidget& root) {
  std::vector<std::string> found;
  for (QAbstractButton* button : with_root<QAbstractButton>(root)) {
    if (!button->isVisible() || button->text().isEmpty()) continue;
    button->ensurePolished();  // the style sheet's font is the button's only from here on
    int needed = button->fontMetrics().size(Qt::TextShowMnemonic, button->text()).width();
    if (!button->icon().isNull()) needed += button->iconSize().width() + ICON_SPACING;
    const int room = text_room(*button).width();
    if (needed > room) {
      found.push_back(name_of(*button, button->text()) + ": text needs " + std::to_string(needed) + " px, has " +
                      std::to_string(room) + " px of " + std::to_string(button->width()));
    }
  }
  return found;
}

std::vector<std::string> labels_cut_off(const QWidget& root) {
  std::vector<std::string> found;
  for (const QLabel* label : with_root<QLabel>(root)) {
    if (!label->isVisible() || label->text().isEmpty()) continue;
    const QSize needed = label->sizeHint();
    if (needed.width() > label->width() + LABEL_SLACK || needed.height() > label->height() + LABEL_SLACK) {
      found.push_back(name_of(*label, label->text()) + ": needs " + std::to_string(needed.width()) + "x" +
                      std::to_string(needed.height()) + ", has " + std::to_string(label->width()) + "x" +
                      std::to_string(label->height()));
    }
  }
  return found;
}

}  // namespace tovix::testing
