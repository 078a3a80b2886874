#include "ui/signin_dialog/signin_dialog.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "common/json_values.h"
#include "common/vendor.h"
#include "config/settings_store.h"
#include "ui/result_values.h"
#include "ui/signin_dialog/captcha_image.h"
#include "ui/signin_dialog/captcha_input_dialog.h"
#include "ui/signin_dialog/signin_look.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix::ui {
namespace {

using Json = nlohmann::ordered_json;

constexpr int SMS_PHONE_CODE = 86;
const QString SEND_CODE_TEXT = QStringLiteral("获取验证码");

}  // namespace

SignInDialog::SignInDialog(QWidget* parent) : SignInDialog(SettingsStore::instance(), parent) {}

SignInDialog::SignInDialog(SettingsStore& store, QWidget* parent) : QDialog(parent), config(store) {
  _build_layout();
  const Json settings = config.to_dict();
  const QString account = text_or(settings, "tovixproxy_account", {});
  if (!account.isEmpty()) edit_account->setText(account);
  const QString password = text_or(settings, "tovixproxy_password", {});
  if (!password.isEmpty()) edit_password->setText(password);
  _first_captcha_timer->start(FIRST_CAPTCHA_DELAY_MS);
}

// A window destroyed without being closed still must not leave workers wired to it.
SignInDialog::~SignInDialog() { _stop_all(); }

QString SignInDialog::_base_url() const { return QString::fromStdString(text_of(config.tovixproxy_base_url())); }

// The registration page lives on the same web site as the console.
QString SignInDialog::_registration_url() const {
  QUrl site(_base_url());
  if (!site.isValid() || site.host().isEmpty()) site = QUrl(QString::fromLatin1(TOVIXPROXY_DEFAULT_BASE_URL));
  return site.resolved(QUrl(QStringLiteral("/regist.htm"))).toString();
}

void SignInDialog::_open_registration(const QString& link) { QDesktopServices::openUrl(QUrl(link)); }

void SignInDialog::_switch_tab(int index) {
  btn_password_tab->setChecked(index == 0);
  btn_code_tab->setChecked(index == 1);
  stack->setCurrentIndex(index);
}

bool SignInDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == captcha_image && event->type() == QEvent::MouseButtonPress) {
    _on_refresh_captcha();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

// --- password page ---

void SignInDialog::_fetch_captcha() {
  // The first load is timed; whatever took the slot meanwhile is cleaned up, never overwritten.
  if (_worker) _cleanup_worker();
  start_worker(_worker, new CaptchaWorker(_base_url()), this, &SignInDialog::_on_captcha_ready,
               &SignInDialog::_on_worker_finished);
}

void SignInDialog::_on_refresh_captcha() {
  _cleanup_worker();
  _fetch_captcha();
}

void SignInDialog::_on_captcha_ready(const Json& result) {
  if (!from_slot(_worker, sender())) return;
  if (is_set(result, "success")) {
    _captcha_token = text_or(result, "token", {});
    captcha_image->setPixmap(captcha_pixmap(text_or(result, "image_base64", {})));
    edit_captcha->clear();
    edit_captcha->setFocus();
  } else {
    captcha_image->setText(QStringLiteral("获取失败"));
    show_status(label_status, text_or(result, "message", QStringLiteral("验证码获取失败")), StatusKind::error);
  }
}

void SignInDialog::_on_login() {
  // Return in the captcha field acts like the button, which cannot be pressed while a sign-in runs.
  if (!btn_login->isEnabled()) return;
  const QString account = edit_account->text().trimmed();
  const QString password = edit_password->text();
  const QString captcha = edit_captcha->text().trimmed();
  QString problem;
  if (account.isEmpty()) {
    problem = QStringLiteral("请输入账号");
  } else if (password.isEmpty()) {
    problem = QStringLiteral("请输入密码");
  } else if (captcha.isEmpty()) {
    problem = QStringLiteral("请输入验证码");
  } else if (!_captcha_token || _captcha_token->isEmpty()) {
    problem = QStringLiteral("验证码未加载，请点击验证码图片刷新");
  }
  if (!problem.isEmpty()) {
    show_status(label_status, problem, StatusKind::error);
    return;
  }
  _cleanup_worker();
  btn_login->setEnabled(false);
  start_worker(_worker, new LoginWorker(account, password, _base_url(), captcha, _captcha_token), this,
               &SignInDialog::_on_result, &SignInDialog::_on_worker_finished);
}

void SignInDialog::_on_result(const Json& result) {
  if (!from_slot(_worker, sender())) return;
  // Whatever the outcome; done first because the shell may react to a success in any way.
  btn_login->setFixedSize(LOGIN_BUTTON_ANSWERED_WIDTH, LOGIN_BUTTON_ANSWERED_HEIGHT);
  btn_login->setStyleSheet(QString::fromUtf8(LOGIN_BUTTON_ANSWERED_STYLE));
  if (is_set(result, "success")) {
    config.set_tovixproxy_password(edit_password->text().toStdString());
    _finish_sign_in(result, edit_account->text().trimmed(), label_status);
    return;
  }
  if (!_show_login_failure(result)) return;
  btn_login->setEnabled(true);
  // A captcha is good for one attempt only.
  _on_refresh_captcha();
}

void SignInDialog::_finish_sign_in(const Json& result, const QString& account, QLabel* status) {
  const QString jwt = text_or(result, "jwt", {});
  config.set_tovixproxy_jwt(jwt.toStdString());
  config.set_tovixproxy_account(account.toStdString());
  show_status(status, QStringLiteral("登录成功"), StatusKind::success);
  QTimer::singleShot(CLOSE_DELAY_MS, this, &QDialog::accept);
  // Last: nothing of this window is touched once the shell has been told.
  emit login_success(jwt, account);
}

bool SignInDialog::_show_login_failure(const Json& result) {
  const QPointer<SignInDialog> alive(this);
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("登录失败"),
                              text_or(result, "message", QStringLiteral("登录失败")), QMessageBox::Ok, this);
  // exec() deletes it on return, and survives the box going with this window.
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->exec();
  return !alive.isNull();
}

// --- SMS page ---

void SignInDialog::_reset_send_code() {
  btn_send_code->setEnabled(true);
  btn_send_code->setText(SEND_CODE_TEXT);
}

void SignInDialog::_on_send_code() {
  if (edit_phone->text().trimmed().isEmpty()) {
    show_status(label_status_code, QStringLiteral("请先输入手机号"), StatusKind::error);
    return;
  }
  btn_send_code->setEnabled(false);
  _cleanup_captcha_worker();
  start_worker(_captcha_worker, new CaptchaWorker(_base_url()), this, &SignInDialog::_on_captcha_for_code,
               &SignInDialog::_on_captcha_worker_finished);
}

void SignInDialog::_on_captcha_for_code(const Json& result) {
  if (!from_slot(_captcha_worker, sender())) return;
  const auto stop = [this](const QString& text, StatusKind kind) {
    show_status(label_status_code, text, kind);
    _reset_send_code();
  };
  if (!is_set(result, "success")) {
    stop(text_or(result, "message", QStringLiteral("获取图形验证码失败")), StatusKind::error);
    return;
  }
  const QString image = text_or(result, "image_base64", {});
  const QString token = text_or(result, "token", {});
  if (image.isEmpty() || token.isEmpty()) {
    stop(QStringLiteral("图形验证码数据不完整，请重试"), StatusKind::error);
    return;
  }

  const QPointer<SignInDialog> alive(this);
  QPointer<CaptchaInputDialog> prompt = new CaptchaInputDialog(image, this);
  const int outcome = prompt->exec();
  if (alive.isNull()) return;
  const std::unique_ptr<CaptchaInputDialog> owned(prompt.data());
  if (outcome != QDialog::Accepted) {
    stop(QStringLiteral("已取消"), StatusKind::neutral);
    return;
  }
  const QString text = prompt->get_captcha_text();
  if (text.isEmpty()) {
    stop(QStringLiteral("验证码不能为空，请重试"), StatusKind::error);
    return;
  }

  _cleanup_sms_worker();
  start_worker(_sms_worker, new SendSmsWorker(edit_phone->text().trimmed(), SMS_PHONE_CODE, token, text, _base_url()),
               this, &SignInDialog::_on_sms_result, &SignInDialog::_on_sms_worker_finished);
}

void SignInDialog::_on_sms_result(const Json& result) {
  if (!from_slot(_sms_worker, sender())) return;
  if (is_set(result, "success")) {
    show_status(label_status_code, QStringLiteral("短信验证码已发送，请查收"), StatusKind::success);
    edit_sms_code->setFocus();
    _start_countdown();
  } else {
    show_status(label_status_code, text_or(result, "message", QStringLiteral("发送失败")), StatusKind::error);
    _reset_send_code();
  }
}

void SignInDialog::_start_countdown() {
  _countdown_seconds = COUNTDOWN_SECONDS;
  btn_send_code->setEnabled(false);
  btn_send_code->setText(QStringLiteral("%1s").arg(_countdown_seconds));
  _countdown_timer->start(COUNTDOWN_INTERVAL_MS);
}

void SignInDialog::_on_countdown_tick() {
  --_countdown_seconds;
  if (_countdown_seconds <= 0) {
    _countdown_timer->stop();
    _reset_send_code();
  } else {
    btn_send_code->setText(QStringLiteral("%1s").arg(_countdown_seconds));
  }
}

void SignInDialog::_on_code_login() {
  // Return in the code field acts like the button, which cannot be pressed while a sign-in runs.
  if (!btn_code_login->isEnabled()) return;
  const QString phone = edit_phone->text().trimmed();
  const QString code = edit_sms_code->text().trimmed();
  if (phone.isEmpty() || code.isEmpty()) {
    show_status(label_status_code,
                phone.isEmpty() ? QStringLiteral("请输入手机号") : QStringLiteral("请输入短信验证码"),
                StatusKind::error);
    return;
  }
  _cleanup_worker();
  btn_code_login->setEnabled(false);
  start_worker(_worker, new LoginWorker(phone, code, _base_url(), std::nullopt, std::nullopt, QStringLiteral("code")),
               this, &SignInDialog::_on_code_result, &SignInDialog::_on_worker_finished);
}

void SignInDialog::_on_code_result(const Json& result) {
  if (!from_slot(_worker, sender())) return;
  if (is_set(result, "success")) {
    _finish_sign_in(result, edit_phone->text().trimmed(), label_status_code);
  } else {
    if (!_show_login_failure(result)) return;
    btn_code_login->setEnabled(true);
  }
}

// --- worker housekeeping ---

void SignInDialog::_cleanup_worker() {
  // The slot is shared by both pages: a sign-in dropped here must not leave its button dead.
  if (auto* login = qobject_cast<LoginWorker*>(_worker.data())) {
    (login->login_type == "code" ? btn_code_login : btn_login)->setEnabled(true);
  }
  release_worker(_worker, this, WORKER_WAIT_MS);
}

void SignInDialog::_cleanup_captcha_worker() { release_worker(_captcha_worker, this, WORKER_WAIT_MS); }

void SignInDialog::_cleanup_sms_worker() { release_worker(_sms_worker, this, WORKER_WAIT_MS); }

void SignInDialog::_on_worker_finished() { forget_finished(_worker, sender()); }

void SignInDialog::_on_captcha_worker_finished() { forget_finished(_captcha_worker, sender()); }

void SignInDialog::_on_sms_worker_finished() { forget_finished(_sms_worker, sender()); }

void SignInDialog::_stop_all() {
  _first_captcha_timer->stop();
  _countdown_timer->stop();
  _cleanup_worker();
  _cleanup_captcha_worker();
  _cleanup_sms_worker();
}

void SignInDialog::closeEvent(QCloseEvent* event) {
  _stop_all();
  QDialog::closeEvent(event);
}

void SignInDialog::done(int result) {
  _stop_all();
  QDialog::done(result);
}

}  // namespace tovix::ui
