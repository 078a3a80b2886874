#pragma once
// Adds or edits one upstream proxy: type, host, port (checked), user name, password.
#include <QDialog>

#include <nlohmann/json.hpp>

class QComboBox;
class QLabel;
class QLineEdit;

namespace tovix::app {

class ProxyEditDialog : public QDialog {
  Q_OBJECT

 public:
  // `entry` fills the fields when editing; null for a new proxy.
  explicit ProxyEditDialog(const nlohmann::ordered_json& entry, QWidget* parent = nullptr);

  // The ProxyEntry as typed; valid once the dialog was accepted.
  nlohmann::ordered_json entry() const;

  QComboBox* type_box() const { return _type; }
  QLineEdit* host_edit() const { return _host; }
  QLineEdit* port_edit() const { return _port; }
  QLineEdit* username_edit() const { return _username; }
  QLineEdit* password_edit() const { return _password; }
  QLabel* status_label() const { return _status; }

 private:
  void _on_accept();

  QComboBox* _type;
  QLineEdit* _host;
  QLineEdit* _port;
  QLineEdit* _username;
  QLineEdit* _password;
  QLabel* _status;
};

}  // namespace tovix::app
