#pragma once
// The member sign-in window: account and password with an image captcha, or phone number and SMS
// code. Every console call runs on a worker thread; on success the token and account are saved,
// login_success is emitted and the window closes itself shortly after.
#include <QDialog>
#include <QPointer>
#include <QString>
#include <optional>

#include <nlohmann/json.hpp>

#include "ui/signin_dialog/signin_dialog_export.h"
#include "ui/signin_dialog/signin_workers.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace tovix {
class SettingsStore;
}

namespace tovix::ui {

class SIGNIN_DIALOG_EXPORT SignInDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr int FIRST_CAPTCHA_DELAY_MS = 100;
  static constexpr int CLOSE_DELAY_MS = 800;
  static constexpr int COUNTDOWN_SECONDS = 60;
  static constexpr int COUNTDOWN_INTERVAL_MS = 1000;
  // How long the window waits for a worker it drops before leaving it to end by itself.
  static constexpr int WORKER_WAIT_MS = 1000;

  // Uses the application's settings store.
  explicit SignInDialog(QWidget* parent = nullptr);
  explicit SignInDialog(SettingsStore& config, QWidget* parent = nullptr);
  ~SignInDialog() override;

  // Also the end of accept() and reject(): stops the countdown and every worker.
  void done(int result) override;

 signals:
  void login_success(const QString& jwt, const QString& account);

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Presses on the captcha image.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  void _switch_tab(int index);
  void _on_refresh_captcha();
  void _fetch_captcha();
  void _on_captcha_ready(const nlohmann::ordered_json& result);
  void _on_login();
  void _on_result(const nlohmann::ordered_json& result);
  void _on_send_code();
  void _on_captcha_for_code(const nlohmann::ordered_json& result);
  void _on_sms_result(const nlohmann::ordered_json& result);
  void _start_countdown();
  void _on_countdown_tick();
  void _on_code_login();
  void _on_code_result(const nlohmann::ordered_json& result);
  void _cleanup_worker();
  void _cleanup_captcha_worker();
  void _cleanup_sms_worker();
  void _on_worker_finished();
  void _on_captcha_worker_finished();
  void _on_sms_worker_finished();
  void _open_registration(const QString& link);

 private:
  void _build_layout();
  QWidget* _build_password_page();
  QWidget* _build_sms_page();
  QString _base_url() const;
  QString _registration_url() const;
  void _stop_all();
  void _reset_send_code();
  // Saves the token and account of an accepted sign-in, arranges the close and tells the shell.
  void _finish_sign_in(const nlohmann::ordered_json& result, const QString& account, QLabel* status);
  // Runs the warning box of a refused sign-in; false when the window went away meanwhile.
  bool _show_login_failure(const nlohmann::ordered_json& result);

  SettingsStore& config;
  // The password page's captcha load or sign-in, or the SMS page's sign-in.
  QPointer<ConsoleWorker> _worker;
  std::optional<QString> _captcha_token;
  QPointer<CaptchaWorker> _captcha_worker;
  QPointer<SendSmsWorker> _sms_worker;
  QTimer* _countdown_timer;
  QTimer* _first_captcha_timer;
  int _countdown_seconds = 0;

  QPushButton* btn_password_tab;
  QPushButton* btn_code_tab;
  QStackedWidget* stack;
  QLineEdit* edit_account;
  QLineEdit* edit_password;
  QLabel* captcha_image;
  QLineEdit* edit_captcha;
  QLabel* label_status;
  QPushButton* btn_login;
  QLabel* edit_phone_prefix;
  QLineEdit* edit_phone;
  QLineEdit* edit_sms_code;
  QPushButton* btn_send_code;
  QLabel* label_status_code;
  QPushButton* btn_code_login;
};

}  // namespace tovix::ui
