#include "ui/plan_dialog/api_link_dialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QVBoxLayout>

#include "ui/pointing_button.h"

namespace tovix {
namespace {

using ui::pointing_button;

const char* const DIALOG_STYLE =
    "QDialog { background-color: #1e1e2e; }"
    "QLabel { color: #cdd6f4; font-size: 13px; }"
    "QComboBox { background-color: #313244; color: #cdd6f4; border: 1px solid #45475a; border-radius: 4px; "
    "padding: 6px 10px; font-size: 12px; }"
    "QComboBox::drop-down { border: none; width: 20px; }"
    "QComboBox::down-arrow { image: none; border: none; }"
    "QComboBox QAbstractItemView { background-color: #313244; color: #cdd6f4; "
    "selection-background-color: #45475a; }"
    "QPushButton { background-color: #45475a; color: #cdd6f4; border: none; border-radius: 4px; "
    "padding: 8px 20px; font-size: 13px; }"
    "QPushButton:hover { background-color: #585b70; }"
    "QPushButton#blueBtn { background-color: #89b4fa; color: #1e1e2e; font-weight: bold; }"
    "QPushButton#blueBtn:hover { background-color: #74c7ec; }";

const char* const LINK_PATH = "/api/get_proxy";
constexpr int UNIQUE_BY_HOURS = 1;

QSpinBox* spin_box(int maximum, const QString& tooltip) {
  auto* spin = new QSpinBox;
  spin->setRange(1, maximum);
  spin->setValue(1);
  spin->setToolTip(tooltip);
  return spin;
}

QComboBox* combo_box(const QStringList& items) {
  auto* combo = new QComboBox;
  combo->addItems(items);
  combo->setCurrentIndex(0);
  return combo;
}

// A labelled row; returns the label so that a row can be hidden as a whole.
QLabel* add_row(QVBoxLayout* layout, const QString& label_text, QWidget* field, int field_stretch = 1,
                QWidget* trailing = nullptr) {
  auto* row = new QHBoxLayout;
  auto* label = new QLabel(label_text);
  row->addWidget(label);
  row->addWidget(field, field_stretch);
  if (trailing != nullptr) row->addWidget(trailing, 1);
  layout->addLayout(row);
  return label;
}

QString carrier_parameter(const QString& carrier) {
  if (carrier == QStringLiteral("电信(ct)")) return QStringLiteral("isp=ct");
  if (carrier == QStringLiteral("移动(cm)")) return QStringLiteral("isp=cm");
  if (carrier == QStringLiteral("联通(cu)")) return QStringLiteral("isp=cu");
  return {};
}

}  // namespace

ApiLinkDialog::ApiLinkDialog(const QString& api_url, const QString& api_key, const QString& pack_mark, QWidget* parent,
                             const QString& pur_user, const QString& pur_pass)
    : QDialog(parent),
      _api_url(api_url),
      _api_key(api_key),
      _pack_mark(pack_mark),
      pur_user(pur_user),
      pur_pass(pur_pass) {
  setWindowTitle(QStringLiteral("API 生成"));
  setFixedSize(400, 290);
  setStyleSheet(QString::fromUtf8(DIALOG_STYLE));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);
  layout->setSpacing(14);

  spin_count = spin_box(200, QStringLiteral("输入 1-200 之间的数值"));
  // QAbstractSpinBox keeps its line edit to itself; it is the spin box's only one.
  if (auto* edit = spin_count->findChild<QLineEdit*>()) edit->setPlaceholderText(QStringLiteral("可填1-200个"));
  add_row(layout, QStringLiteral("提取数量："), spin_count);

  // The carrier filter stays at "no filter": the row exists but is never shown.
  combo_isp = combo_box(
      {QStringLiteral("不限"), QStringLiteral("电信(ct)"), QStringLiteral("移动(cm)"), QStringLiteral("联通(cu)")});
  add_row(layout, QStringLiteral("运营商："), combo_isp)->setVisible(false);
  combo_isp->setVisible(false);

  combo_auth = combo_box({QStringLiteral("白名单认证(ip)"), QStringLiteral("账密认证(user)")});
  add_row(layout, QStringLiteral("认证方式："), combo_auth);

  combo_unique = combo_box({QStringLiteral("智能去重"), QStringLiteral("按时去重")});
  connect(combo_unique, &QComboBox::currentIndexChanged, this, &ApiLinkDialog::_on_unique_mode_changed);
  spin_unique = spin_box(999, QStringLiteral("按时去重的小时数，1-999"));
  spin_unique->setEnabled(false);
  add_row(layout, QStringLiteral("去重方式："), combo_unique, 0, spin_unique);

  layout->addStretch();

  QPushButton* fill = pointing_button(QStringLiteral("填入API链接"), QStringLiteral("blueBtn"));
  connect(fill, &QPushButton::clicked, this, &ApiLinkDialog::_on_fill_url);
  QPushButton* close_button = pointing_button(QStringLiteral("关闭"));
  connect(close_button, &QPushButton::clicked, this, &QDialog::close);
  layout->addLayout(ui::buttons_at_right({fill, close_button}));
}

void ApiLinkDialog::_on_unique_mode_changed(int index) { spin_unique->setEnabled(index == UNIQUE_BY_HOURS); }

QString ApiLinkDialog::_build_url() const {
  if (_api_key.isEmpty()) return {};
  QString base = _api_url.trimmed();
  if (base.isEmpty()) return {};
  if (!base.startsWith(QStringLiteral("http"))) base = QStringLiteral("http://") + base;
  if (!base.contains(QLatin1String(LINK_PATH))) {
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    base += QLatin1String(LINK_PATH);
  }

  QStringList parameters = {
      QStringLiteral("api_key=") + _api_key,
      QStringLiteral("pack_mark=") + _pack_mark,
      QStringLiteral("count=") + QString::number(spin_count->value()),
      QStringLiteral("return_type=txt"),
      QStringLiteral("sep=1"),
  };
  if (const QString carrier = carrier_parameter(combo_isp->currentText()); !carrier.isEmpty()) parameters << carrier;
  parameters << (combo_auth->currentText().contains(QStringLiteral("ip)")) ? QStringLiteral("auth_type=ip")
                                                                           : QStringLiteral("auth_type=user"));
  if (combo_unique->currentIndex() == UNIQUE_BY_HOURS) {
    parameters << QStringLiteral("unique=") + QString::number(spin_unique->value());
  }
  return base + QLatin1Char('?') + parameters.join(QLatin1Char('&'));
}

void ApiLinkDialog::_on_fill_url() {
  const QString url = _build_url();
  if (url.isEmpty()) return;
  emit api_url_filled(url);
  if (combo_auth->currentText().contains(QStringLiteral("user)")) && !pur_user.isEmpty() && !pur_pass.isEmpty()) {
    emit cred_filled(url, pur_user, pur_pass);
  }
  close();
}

}  // namespace tovix
