#include "ui/signin_dialog/signin_workers.h"

#include <utility>

#include "api/tovixproxy_client.h"
#include "ui/result_values.h"

namespace tovix::ui {
namespace {

using Json = nlohmann::ordered_json;

std::optional<std::string> std_text(const std::optional<QString>& text) {
  if (!text) return std::nullopt;
  return text->toStdString();
}

}  // namespace

LoginWorker::LoginWorker(QString account, QString password, QString base_url, std::optional<QString> captcha_code,
                         std::optional<QString> captcha_token, QString login_type, QObject* parent)
    : ConsoleWorker(parent),
      _account(std::move(account)),
      _password(std::move(password)),
      _base_url(std::move(base_url)),
      _captcha_code(std::move(captcha_code)),
      _captcha_token(std::move(captcha_token)),
      _login_type(std::move(login_type)) {}

Json LoginWorker::_work() {
  ToVixProxyClient client(_base_url.toStdString());
  return client.login(_account.toStdString(), _password.toStdString(), "86", std_text(_captcha_code),
                      std_text(_captcha_token), _login_type.toStdString());
}

Json LoginWorker::_failure(const std::string& error_text) const {
  return {{"success", false},
          {"jwt", nullptr},
          {"client_id", nullptr},
          {"message", "登录异常: " + error_text},
          {"need_captcha", false}};
}

CaptchaWorker::CaptchaWorker(QString base_url, QObject* parent)
    : ConsoleWorker(parent), _base_url(std::move(base_url)) {}

Json CaptchaWorker::_work() {
  ToVixProxyClient client(_base_url.toStdString());
  return client.get_captcha();
}

Json CaptchaWorker::_failure(const std::string& error_text) const {
  return {
      {"success", false}, {"image_base64", nullptr}, {"token", nullptr}, {"message", "获取验证码异常: " + error_text}};
}

SendSmsWorker::SendSmsWorker(QString phone, int phone_code, QString token, QString captcha, QString base_url,
                             QObject* parent)
    : ConsoleWorker(parent),
      _phone(std::move(phone)),
      _phone_code(phone_code),
      _token(std::move(token)),
      _captcha(std::move(captcha)),
      _base_url(std::move(base_url)) {}

Json SendSmsWorker::_work() {
  ToVixProxyClient client(_base_url.toStdString());
  const Json verified = client.verify_captcha(_token.toStdString(), _captcha.toStdString());
  if (!is_set(verified, "success")) {
    const QString reason = text_or(verified, "message", QStringLiteral("未知错误"));
    return {{"success", false}, {"message", "图形验证码校验失败: " + reason.toStdString()}};
  }
  return client.send_phone_code(_phone.toStdString(), _phone_code, _token.toStdString(), _captcha.toStdString());
}

Json SendSmsWorker::_failure(const std::string& error_text) const {
  return {{"success", false}, {"message", "发送验证码异常: " + error_text}};
}

}  // namespace tovix::ui
