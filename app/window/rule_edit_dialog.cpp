#include "app/window/rule_edit_dialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/window/dark_style.h"
#include "app/window/dialog_buttons.h"
#include "engine/rules/rule_json.h"
#include "ui/status_style.h"

namespace tovix::app {
namespace {

using Json = nlohmann::ordered_json;

QString listed(const std::vector<std::string>& items) {
  QStringList texts;
  for (const std::string& item : items) texts << QString::fromStdString(item);
  return texts.join(QStringLiteral(", "));
}

Json list_of(const QLineEdit* edit) {
  Json items = Json::array();
  for (const std::string& item : split_list(edit->text().toStdString())) items.push_back(item);
  return items;
}

QLineEdit* field(const QString& text, const QString& placeholder) {
  auto* edit = new QLineEdit(text);
  edit->setPlaceholderText(placeholder);
  return edit;
}

}  // namespace

RuleEditDialog::RuleEditDialog(const std::optional<RouteRule>& rule, const Json& proxy_list, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(rule ? QStringLiteral("编辑规则") : QStringLiteral("添加规则"));
  setStyleSheet(WINDOW_STYLE);
  setMinimumWidth(560);
  const RouteRule shown = rule.value_or(RouteRule{});
  std::vector<std::string> networks;
  for (const IpNetwork& network : shown.networks) networks.push_back(ip_network_text(network));

  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(
      QStringLiteral("填写的条件须全部符合 (域名与地址符合其一即可); 同一栏的多项用逗号分隔, 符合其一即可。"));
  hint->setObjectName("hint");
  hint->setWordWrap(true);
  layout->addWidget(hint);
  auto* form = new QFormLayout;
  _note = field(QString::fromStdString(shown.note), QStringLiteral("可不填"));
  _programs = field(listed(shown.programs), QStringLiteral("例如 chrome.exe, *steam* (留空: 任意程序)"));
  _names = field(listed(shown.names), QStringLiteral("例如 example.com, .example.org (以点开头: 含所有子域名)"));
  _networks = field(listed(networks), QStringLiteral("例如 192.168.0.0/16, 10.0.0.1, fc00::/7"));
  _ports = field(QString::fromStdString(port_ranges_text(shown.ports)), QStringLiteral("例如 443, 8000-8100"));
  _action = new QComboBox;
  _choices = action_choices(proxy_list, shown.action);
  for (std::size_t i = 0; i < _choices.size(); ++i) {
    _action->addItem(_choices[i].text);
    if (_choices[i].action == shown.action) _action->setCurrentIndex(static_cast<int>(i));
  }
  form->addRow(QStringLiteral("备注"), _note);
  form->addRow(QStringLiteral("程序"), _programs);
  form->addRow(QStringLiteral("域名"), _names);
  form->addRow(QStringLiteral("地址或网段"), _networks);
  form->addRow(QStringLiteral("端口"), _ports);
  form->addRow(QStringLiteral("去向"), _action);
  layout->addLayout(form);
  _status = new QLabel;
  _status->setWordWrap(true);
  ui::show_status(_status, QString(), ui::StatusKind::neutral);
  layout->addWidget(_status);
  add_dialog_buttons(this, layout, QStringLiteral("确定"), [this] { _on_accept(); });
}

void RuleEditDialog::_on_accept() {
  // The stored form is what gets checked, so the editor refuses exactly what a load would.
  Json typed = Json::object();
  typed["note"] = _note->text().trimmed().toStdString();
  typed["programs"] = list_of(_programs);
  typed["names"] = list_of(_names);
  typed["networks"] = list_of(_networks);
  typed["ports"] = _ports->text().toStdString();
  const RuleAction action = _choices[static_cast<std::size_t>(std::max(0, _action->currentIndex()))].action;
  typed["action"] = action_name(action.kind);
  if (action.kind == RuleActionKind::proxy) typed["proxy"] = action.proxy_index;
  try {
    _rule = rule_from_json(typed);
  } catch (const RuleError& error) {
    ui::show_status(_status, QString::fromStdString(error.what()), ui::StatusKind::error);
    return;
  }
  accept();
}

}  // namespace tovix::app
