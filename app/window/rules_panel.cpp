#include "app/window/rules_panel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/window/rule_edit_dialog.h"
#include "app/window/rule_texts.h"
#include "common/json_values.h"
#include "config/settings_store.h"
#include "engine/rules/rule_json.h"
#include "ui/status_style.h"

namespace tovix::app {

RulesPanel::RulesPanel(SettingsStore& settings, QWidget* parent) : QWidget(parent), _settings(settings) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* hint = new QLabel(QStringLiteral(
      "规则只作用于被代理的程序, 按顺序比对, 第一条符合的规则决定去向; 没有规则符合时轮流使用全部代理。"));
  hint->setObjectName("hint");
  hint->setWordWrap(true);
  layout->addWidget(hint);
  _problem = new QLabel;
  _problem->setWordWrap(true);
  layout->addWidget(_problem);

  _table = new QTableWidget(0, 4);
  _table->setHorizontalHeaderLabels(
      {QStringLiteral("顺序"), QStringLiteral("备注"), QStringLiteral("条件"), QStringLiteral("去向")});
  _table->setSelectionBehavior(QAbstractItemView::SelectRows);
  _table->setSelectionMode(QAbstractItemView::SingleSelection);
  _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _table->setAlternatingRowColors(true);
  _table->setWordWrap(false);
  _table->verticalHeader()->setVisible(false);
  _table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  _table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
  connect(_table, &QTableWidget::cellDoubleClicked, this, &RulesPanel::_on_edit);
  connect(_table, &QTableWidget::itemSelectionChanged, this, &RulesPanel::_update_buttons);
  layout->addWidget(_table, 1);

  auto* buttons = new QHBoxLayout;
  _add = new QPushButton(QStringLiteral("添加规则"));
  _edit = new QPushButton(QStringLiteral("编辑"));
  _up = new QPushButton(QStringLiteral("上移"));
  _down = new QPushButton(QStringLiteral("下移"));
  _remove = new QPushButton(QStringLiteral("删除"));
  for (QPushButton* button : {_add, _edit, _up, _down}) buttons->addWidget(button);
  buttons->addStretch(1);
  buttons->addWidget(_remove);
  layout->addLayout(buttons);
  connect(_add, &QPushButton::clicked, this, &RulesPanel::_on_add);
  connect(_edit, &QPushButton::clicked, this, &RulesPanel::_on_edit);
  connect(_up, &QPushButton::clicked, this, [this] { _move(-1); });
  connect(_down, &QPushButton::clicked, this, [this] { _move(1); });
  connect(_remove, &QPushButton::clicked, this, &RulesPanel::_on_remove);

  _names_at_proxy = new QCheckBox(QStringLiteral("由代理解析域名 (按连接中的域名向代理请求, 不用本机 DNS 查到的地址)"));
  _names_at_proxy->setChecked(is_truthy(_settings.resolve_names_at_proxy()));
  connect(_names_at_proxy, &QCheckBox::toggled, this, [this](bool on) {
    _settings.set_resolve_names_at_proxy(on);
    emit names_at_proxy_changed(on);
  });
  layout->addWidget(_names_at_proxy);
  reload();
}

void RulesPanel::reload() {
  try {
    _rules = rules_from_json(_settings.route_rules());
  } catch (const RuleError&) {
    // The store replaces unusable rules when it loads; whatever stands there now is not shown.
    _rules.clear();
  }
  // What the last load found wrong with the file's rules, until the user has set new ones.
  const QString problem = _rules_edited ? QString() : QString::fromStdString(_settings.route_rules_problem());
  ui::show_status(_problem, problem, ui::StatusKind::error);
  _problem->setVisible(!problem.isEmpty());

  const nlohmann::ordered_json proxies = _settings.proxy_list();
  const int selected = _table->currentRow();
  _table->setRowCount(static_cast<int>(_rules.size()));
  for (int row = 0; row < _table->rowCount(); ++row) {
    const RouteRule& rule = _rules[static_cast<std::size_t>(row)];
    _table->setItem(row, 0, new QTableWidgetItem(QString::number(row + 1)));
    _table->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(rule.note)));
    auto* conditions = new QTableWidgetItem(conditions_text(rule));
    conditions->setToolTip(conditions->text());
    _table->setItem(row, 2, conditions);
    _table->setItem(row, 3, new QTableWidgetItem(action_text(rule.action, proxies)));
  }
  if (selected >= 0 && selected < _table->rowCount()) _table->selectRow(selected);
  _update_buttons();
}

void RulesPanel::_update_buttons() {
  const int row = _table->currentRow();
  const bool any = row >= 0 && row < _table->rowCount();
  _edit->setEnabled(any);
  _remove->setEnabled(any);
  _up->setEnabled(any && row > 0);
  _down->setEnabled(any && row + 1 < _table->rowCount());
}

void RulesPanel::_on_add() {
  RuleEditDialog dialog(std::nullopt, _settings.proxy_list(), this);
  if (dialog.exec() != QDialog::Accepted) return;
  std::vector<RouteRule> rules = _rules;
  rules.push_back(dialog.rule());
  _store(std::move(rules), static_cast<int>(_rules.size()));
}

void RulesPanel::_on_edit() {
  const int row = _table->currentRow();
  if (row < 0 || row >= static_cast<int>(_rules.size())) return;
  RuleEditDialog dialog(_rules[static_cast<std::size_t>(row)], _settings.proxy_list(), this);
  if (dialog.exec() != QDialog::Accepted) return;
  std::vector<RouteRule> rules = _rules;
  rules[static_cast<std::size_t>(row)] = dialog.rule();
  _store(std::move(rules), row);
}

void RulesPanel::_move(int step) {
  const int row = _table->currentRow();
  const int target = row + step;
  if (row < 0 || target < 0 || target >= static_cast<int>(_rules.size())) return;
  std::vector<RouteRule> rules = _rules;
  std::swap(rules[static_cast<std::size_t>(row)], rules[static_cast<std::size_t>(target)]);
  _store(std::move(rules), target);
}

void RulesPanel::_on_remove() {
  const int row = _table->currentRow();
  if (row < 0 || row >= static_cast<int>(_rules.size())) return;
  std::vector<RouteRule> rules = _rules;
  rules.erase(rules.begin() + row);
  _store(std::move(rules), std::min(row, static_cast<int>(rules.size()) - 1));
}

void RulesPanel::_store(std::vector<RouteRule> rules, int selected_row) {
  const nlohmann::ordered_json stored = rules_to_json(rules);
  _settings.set_route_rules(stored);
  _rules_edited = true;
  _table->setCurrentCell(-1, -1);
  reload();
  if (selected_row >= 0) _table->selectRow(selected_row);
  emit rules_changed(stored);
}

}  // namespace tovix::app
