#include "app/insight/panel_layout.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace tovix::insight {

void lay_out_panel(QWidget& panel, const QString& title, std::initializer_list<QWidget*> controls, QWidget* body) {
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(title, &panel));
  top->addStretch(1);
  for (QWidget* control : controls) top->addWidget(control);
  auto* layout = new QVBoxLayout(&panel);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(top);
  layout->addWidget(body, 1);
}

}  // namespace tovix::insight
