#include "app/window/proxy_edit_dialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/core/proxy_text.h"
#include "app/window/dark_style.h"
#include "app/window/dialog_buttons.h"
#include "ui/status_style.h"

namespace tovix::app {
namespace {

QString text_field(const nlohmann::ordered_json& entry, const char* key) {
  if (!entry.is_object() || !entry.contains(key)) return {};
  const auto& value = entry[key];
  return QString::fromStdString(value.is_string() ? value.get<std::string>() : value.dump());
}

}  // namespace

ProxyEditDialog::ProxyEditDialog(const nlohmann::ordered_json& entry, QWidget* parent) : QDialog(parent) {
  setWindowTitle(entry.is_object() ? QStringLiteral("编辑代理") : QStringLiteral("添加代理"));
  setStyleSheet(WINDOW_STYLE);
  setMinimumWidth(380);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  _type = new QComboBox;
  _type->addItem(QStringLiteral("SOCKS5"), QString::fromLatin1(PROXY_TYPE_SOCKS5));
  _type->addItem(QStringLiteral("HTTP"), QString::fromLatin1(PROXY_TYPE_HTTP));
  if (text_field(entry, "type") == QLatin1String(PROXY_TYPE_HTTP)) _type->setCurrentIndex(1);
  _host = new QLineEdit(text_field(entry, "host"));
  _host->setPlaceholderText(QStringLiteral("例如 127.0.0.1 或 proxy.example.com"));
  _port = new QLineEdit(text_field(entry, "port"));
  _port->setPlaceholderText(QStringLiteral("1-65535"));
  _username = new QLineEdit(text_field(entry, "username"));
  _password = new QLineEdit(text_field(entry, "password"));
  _password->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("类型"), _type);
  form->addRow(QStringLiteral("地址"), _host);
  form->addRow(QStringLiteral("端口"), _port);
  form->addRow(QStringLiteral("用户名"), _username);
  form->addRow(QStringLiteral("密码"), _password);
  layout->addLayout(form);
  _status = new QLabel;
  ui::show_status(_status, QString(), ui::StatusKind::neutral);
  layout->addWidget(_status);
  add_dialog_buttons(this, layout, QStringLiteral("确定"), [this] { _on_accept(); });
}

void ProxyEditDialog::_on_accept() {
  if (!is_valid_host(_host->text().trimmed().toStdString())) {
    ui::show_status(_status, QStringLiteral("请输入有效的代理地址"), ui::StatusKind::error);
    return;
  }
  if (!parse_port(_port->text().toStdString())) {
    ui::show_status(_status, QStringLiteral("端口必须是 1 到 65535 之间的数字"), ui::StatusKind::error);
    return;
  }
  accept();
}

nlohmann::ordered_json ProxyEditDialog::entry() const {
  const std::string host = _host->text().trimmed().toStdString();
  return make_proxy_entry(_type->currentData().toString().toStdString(), host,
                          parse_port(_port->text().toStdString()).value_or(0), _username->text().toStdString(),
                          _password->text().toStdString());
}

}  // namespace tovix::app
