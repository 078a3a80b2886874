#pragma once
// The shape the panels share: a title row (the title on the left, the panel's controls on the
// right) above the panel's body, which takes the remaining height.
#include <QString>

#include <initializer_list>

class QWidget;

namespace tovix::insight {

void lay_out_panel(QWidget& panel, const QString& title, std::initializer_list<QWidget*> controls, QWidget* body);

}  // namespace tovix::insight
