#pragma once
// The routing rules (the "route_rules" setting) in list order, with add, edit, move up and
// down, and delete, and the switch for asking the proxies for destination names. Every change
// goes through the settings store at once and is announced.
#include <QWidget>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/rules/route_rule.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class RulesPanel : public QWidget {
  Q_OBJECT

 public:
  explicit RulesPanel(SettingsStore& settings, QWidget* parent = nullptr);

  // Re-reads the rules and the proxy list (whose entries the actions name) from the store.
  void reload();

  QTableWidget* table() const { return _table; }
  QPushButton* add_button() const { return _add; }
  QPushButton* edit_button() const { return _edit; }
  QPushButton* up_button() const { return _up; }
  QPushButton* down_button() const { return _down; }
  QPushButton* remove_button() const { return _remove; }
  QCheckBox* names_at_proxy_box() const { return _names_at_proxy; }
  QLabel* problem_label() const { return _problem; }

 signals:
  void rules_changed(const nlohmann::ordered_json& route_rules);
  void names_at_proxy_changed(bool on);

 private:
  void _on_add();
  void _on_edit();
  void _move(int step);
  void _on_remove();
  void _store(std::vector<RouteRule> rules, int selected_row);
  void _update_buttons();

  SettingsStore& _settings;
  std::vector<RouteRule> _rules;
  bool _rules_edited = false;
  QTableWidget* _table;
  QPushButton* _add;
  QPushButton* _edit;
  QPushButton* _up;
  QPushButton* _down;
  QPushButton* _remove;
  QCheckBox* _names_at_proxy;
  QLabel* _problem;
};

}  // namespace tovix::app
