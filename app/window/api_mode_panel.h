#pragma once
// The API mode settings: the extraction link, the type of the proxies it gives, their user name
// and password, the refresh interval, and a status line saying how the last fetch went. Each
// field is saved as soon as it is changed; a running engine takes them at its next start.
#include <QGroupBox>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class ApiModePanel : public QGroupBox {
  Q_OBJECT

 public:
  explicit ApiModePanel(SettingsStore& settings, QWidget* parent = nullptr);

  // From the products dialog: the link (API mode switched on), with its credentials or not.
  void fill_link(const QString& url);
  void fill_credentials(const QString& url, const QString& username, const QString& password);
  void show_api_status(const QString& text, bool ok);
  void reload();

  QCheckBox* use_box() const { return _use; }
  QLineEdit* url_edit() const { return _url; }
  QComboBox* type_box() const { return _type; }
  QLineEdit* username_edit() const { return _username; }
  QLineEdit* password_edit() const { return _password; }
  QSpinBox* interval_box() const { return _interval; }
  QLabel* status_label() const { return _status; }

 signals:
  // A field was saved (the password among them).
  void settings_edited();

 private:
  SettingsStore& _settings;
  QCheckBox* _use;
  QLineEdit* _url;
  QComboBox* _type;
  QLineEdit* _username;
  QLineEdit* _password;
  QSpinBox* _interval;
  QLabel* _status;
};

}  // namespace tovix::app
