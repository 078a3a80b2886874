#pragma once
// The vendor account: sign in, the two products dialogs, sign out. What the products dialogs
// hand over comes out as proxy entries to add (typed SOCKS5 unless the user chose HTTP for
// imports) and as the API link with or without its credentials.
#include <QPointer>
#include <QWidget>

#include <nlohmann/json.hpp>

#include "app/core/task_worker.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace tovix {
class PlanDialog;
class SettingsStore;
}  // namespace tovix
namespace tovix::ui {
class SignInDialog;
}

namespace tovix::app {

class WhitelistFollowBox;

inline constexpr const char* MODULE_LONG_TERM = "tv_proxy_domestic";
inline constexpr const char* MODULE_SHORT_TERM = "tv_proxy_ip";

class AccountPanel : public QWidget {
  Q_OBJECT

 public:
  explicit AccountPanel(SettingsStore& settings, QWidget* parent = nullptr);
  ~AccountPanel() override;

  // Open the dialogs (not modal); the dialog stays reachable for tests until it closes.
  ui::SignInDialog* open_sign_in();
  PlanDialog* open_products(const char* module);
  void sign_out();

  // Turns the products dialog's hand-overs into what the window stores.
  void import_products(const QList<std::tuple<QString, QString, QString>>& products);

  QLabel* account_label() const { return _account; }
  QLabel* status_label() const { return _status; }
  QComboBox* import_type_box() const { return _import_type; }
  QPushButton* sign_in_button() const { return _sign_in; }
  QPushButton* sign_out_button() const { return _sign_out; }
  WhitelistFollowBox* whitelist_box() const { return _whitelist; }
  bool is_signing_out() const { return !_logout_worker.isNull(); }

 signals:
  void proxies_imported(const nlohmann::ordered_json& entries);
  void api_link_received(const QString& url);
  void api_credentials_received(const QString& url, const QString& username, const QString& password);
  void signed_in();
  void signed_out();

 private:
  void _refresh_account();
  void _connect_products(PlanDialog* dialog);

  SettingsStore& _settings;
  QLabel* _account;
  QLabel* _status;
  QComboBox* _import_type;
  QPushButton* _sign_in;
  QPushButton* _long_term;
  QPushButton* _short_term;
  QPushButton* _sign_out;
  WhitelistFollowBox* _whitelist;
  QPointer<ui::SignInDialog> _sign_in_dialog;
  QPointer<PlanDialog> _plan_dialog;
  QPointer<TaskWorker> _logout_worker;
};

}  // namespace tovix::app
