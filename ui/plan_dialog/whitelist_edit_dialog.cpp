#include "ui/plan_dialog/whitelist_edit_dialog.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>
#include <utility>

#include "ui/plan_dialog/public_ip_lookup.h"
#include "ui/pointing_button.h"

namespace tovix {
namespace {

using ui::pointing_button;

const char* const EDITOR_STYLE =
    "QDialog { background-color: #1e1e2e; }"
    "QLabel { color: #cdd6f4; font-size: 13px; }"
    "QTextEdit { background-color: #313244; color: #cdd6f4; border: 1px solid #45475a; border-radius: 4px; "
    "font-size: 13px; padding: 4px; }"
    "QPushButton { background-color: #45475a; color: #cdd6f4; border: none; border-radius: 4px; "
    "padding: 6px 14px; font-size: 13px; }"
    "QPushButton:hover { background-color: #585b70; }"
    "QPushButton#blueBtn { background-color: #89b4fa; color: #1e1e2e; font-weight: bold; }"
    "QPushButton#blueBtn:hover { background-color: #74c7ec; }"
    "QPushButton#addIpBtn { background-color: #313244; color: #a6e3a1; border: 1px solid #a6e3a1; }"
    "QPushButton#addIpBtn:hover { background-color: #45475a; }";

const char* const ADD_IP_TEXT = "添加本机IP";

}  // namespace

WhitelistEditDialog::WhitelistEditDialog(const QString& host_id, const QString& current_ip, QWidget* parent,
                                         std::vector<PublicIpSource> ip_sources, std::chrono::milliseconds ip_timeout)
    : QDialog(parent), _ip_sources(std::move(ip_sources)), _ip_timeout(ip_timeout) {
  setWindowTitle(QStringLiteral("修改白名单"));
  setFixedSize(420, 340);
  setStyleSheet(QString::fromUtf8(EDITOR_STYLE));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 16);
  layout->setSpacing(10);

  auto* info = new QLabel(QStringLiteral("产品 ID: ") + host_id + QStringLiteral("\n请输入白名单 IP（一行一个）："));
  info->setWordWrap(true);
  layout->addWidget(info);

  text_edit = new QTextEdit;
  text_edit->setAcceptRichText(false);
  text_edit->setPlaceholderText(QStringLiteral("每行输入一个 IP 地址"));
  if (!current_ip.isEmpty()) text_edit->setPlainText(current_ip);
  layout->addWidget(text_edit, 1);

  auto* add_row = new QHBoxLayout;
  btn_add_ip = pointing_button(QString::fromUtf8(ADD_IP_TEXT), QStringLiteral("addIpBtn"));
  connect(btn_add_ip, &QPushButton::clicked, this, &WhitelistEditDialog::_on_add_local_ip);
  add_row->addWidget(btn_add_ip);
  add_row->addStretch();
  layout->addLayout(add_row);

  QPushButton* confirm = pointing_button(QStringLiteral("确认"), QStringLiteral("blueBtn"));
  connect(confirm, &QPushButton::clicked, this, &QDialog::accept);
  QPushButton* cancel = pointing_button(QStringLiteral("取消"));
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  layout->addLayout(ui::buttons_at_right({confirm, cancel}));
}

QString WhitelistEditDialog::get_ip_text() const { return text_edit->toPlainText().trimmed(); }

std::optional<std::string> WhitelistEditDialog::_fetch_public_ip(const std::vector<PublicIpSource>& sources,
                                                                 std::chrono::milliseconds timeout) {
  return lookup_public_ip(sources, timeout);
}

void WhitelistEditDialog::_on_add_local_ip() {
  btn_add_ip->setEnabled(false);
  btn_add_ip->setText(QStringLiteral("获取中..."));
  // One pass, so the busy button is painted before the thread blocks in the look-up.
  QCoreApplication::processEvents();

  if (const std::optional<std::string> ip = _fetch_public_ip(_ip_sources, _ip_timeout)) {
    const QString address = QString::fromStdString(*ip);
    const QString current = text_edit->toPlainText().trimmed();
    text_edit->setPlainText(current.isEmpty() ? address : current + QLatin1Char('\n') + address);
  } else {
    QMessageBox::warning(this, QStringLiteral("获取失败"),
                         QStringLiteral("未能获取到有效的 IP 地址，请检查网络后重试。"));
  }
  btn_add_ip->setEnabled(true);
  btn_add_ip->setText(QString::fromUtf8(ADD_IP_TEXT));
}

}  // namespace tovix
