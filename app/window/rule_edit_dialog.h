#pragma once
// Adds or edits one routing rule: a note, the conditions (programs, destination names,
// addresses or networks, ports) and the action. A rule with a bad entry or no condition is
// refused with the reason and the dialog stays open.
#include <QDialog>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/window/rule_texts.h"
#include "engine/rules/route_rule.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace tovix::app {

class RuleEditDialog : public QDialog {
  Q_OBJECT

 public:
  // `rule` fills the fields when editing; nothing for a new rule. `proxy_list` gives the
  // proxies the action box offers.
  RuleEditDialog(const std::optional<RouteRule>& rule, const nlohmann::ordered_json& proxy_list,
                 QWidget* parent = nullptr);

  // The rule as typed; valid once the dialog was accepted.
  const RouteRule& rule() const { return _rule; }

  QLineEdit* note_edit() const { return _note; }
  QLineEdit* programs_edit() const { return _programs; }
  QLineEdit* names_edit() const { return _names; }
  QLineEdit* networks_edit() const { return _networks; }
  QLineEdit* ports_edit() const { return _ports; }
  QComboBox* action_box() const { return _action; }
  QLabel* status_label() const { return _status; }

 private:
  void _on_accept();

  std::vector<ActionChoice> _choices;
  RouteRule _rule;
  QLineEdit* _note;
  QLineEdit* _programs;
  QLineEdit* _names;
  QLineEdit* _networks;
  QLineEdit* _ports;
  QComboBox* _action;
  QLabel* _status;
};

}  // namespace tovix::app
