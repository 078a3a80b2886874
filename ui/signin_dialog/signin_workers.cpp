#include "ui/signin_dialog/signin_workers.h"

#include "ui/result_values.h"

namespace tovix::ui {
namespace {

std::optional<std::string> std_text(const std::optional<QString>& text) {
  if (!text) return std::nullopt;
  return text->toStdString();
}

}  // namespace

LoginWorker::LoginWorker(const QString& account, const QString& password, const QString& base_url,
                         const std::optional<QString>& captcha_code, const std::optional<QString>& captcha_token,
                         const QString& login_type, QObject* parent)
    : ConsoleWorker({}, base_url.toStdString(), parent),
      account(account.toStdString()),
      password(password.toStdString()),
      captcha_code(std_text(captcha_code)),
      captcha_token(std_text(captcha_token)),
      login_type(login_type.toStdString()) {}

Json LoginWorker::_call(ToVixProxyClient& client) {
  return client.login(account, password, "86", captcha_code, captcha_token, login_type);
}

Json LoginWorker::_failure(const std::string& message) const {
  return {{"success", false},
          {"jwt", nullptr},
          {"client_id", nullptr},
          {"message", "登录异常: " + message},
          {"need_captcha", false}};
}

CaptchaWorker::CaptchaWorker(const QString& base_url, QObject* parent)
    : ConsoleWorker({}, base_url.toStdString(), parent) {}

Json CaptchaWorker::_call(ToVixProxyClient& client) { return client.get_captcha(); }

Json CaptchaWorker::_failure(const std::string& message) const {
  return {{"success", false}, {"image_base64", nullptr}, {"token", nullptr}, {"message", "获取验证码异常: " + message}};
}

SendSmsWorker::SendSmsWorker(const QString& phone, int phone_code, const QString& token, const QString& captcha,
                             const QString& base_url, QObject* parent)
    : ConsoleWorker({}, base_url.toStdString(), parent),
      phone(phone.toStdString()),
      phone_code(phone_code),
      token(token.toStdString()),
      captcha(captcha.toStdString()) {}

Json SendSmsWorker::_call(ToVixProxyClient& client) {
  const Json verified = client.verify_captcha(token, captcha);
  if (!is_set(verified, "success")) {
    const QString reason = text_or(verified, "message", QStringLiteral("未知错误"));
    return {{"success", false}, {"message", "图形验证码校验失败: " + reason.toStdString()}};
  }
  return client.send_phone_code(phone, phone_code, token, captcha);
}

Json SendSmsWorker::_failure(const std::string& message) const {
  return {{"success", false}, {"message", "发送验证码异常: " + message}};
}

}  // namespace tovix::ui
