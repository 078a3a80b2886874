#pragma once
// The console requests of the sign-in window, one worker thread each. Every worker has its own
// client made from the stored root URL, so no client (and no cookie store) is shared between
// threads.
#include <QObject>
#include <QString>
#include <optional>
#include <string>

#include "ui/console_worker.h"
#include "ui/signin_dialog/signin_dialog_export.h"

namespace tovix::ui {

// Signs in by password (login_type "password") or by SMS code (login_type "code", the code in
// password).
class SIGNIN_DIALOG_EXPORT LoginWorker : public ConsoleWorker {
  Q_OBJECT
 public:
  LoginWorker(const QString& account, const QString& password, const QString& base_url,
              const std::optional<QString>& captcha_code, const std::optional<QString>& captcha_token,
              const QString& login_type = QStringLiteral("password"), QObject* parent = nullptr);

  const std::string account;
  const std::string password;
  const std::optional<std::string> captcha_code;
  const std::optional<std::string> captcha_token;
  const std::string login_type;

 protected:
  Json _call(ToVixProxyClient& client) override;
  Json _failure(const std::string& message) const override;
};

// Loads one image captcha.
class SIGNIN_DIALOG_EXPORT CaptchaWorker : public ConsoleWorker {
  Q_OBJECT
 public:
  explicit CaptchaWorker(const QString& base_url, QObject* parent = nullptr);

 protected:
  Json _call(ToVixProxyClient& client) override;
  Json _failure(const std::string& message) const override;
};

// Has the console check the captcha text and, when it passes, send the SMS code; both steps on
// the one client, so the console sees one session.
class SIGNIN_DIALOG_EXPORT SendSmsWorker : public ConsoleWorker {
  Q_OBJECT
 public:
  SendSmsWorker(const QString& phone, int phone_code, const QString& token, const QString& captcha,
                const QString& base_url, QObject* parent = nullptr);

  const std::string phone;
  const int phone_code;
  const std::string token;
  const std::string captcha;

 protected:
  Json _call(ToVixProxyClient& client) override;
  Json _failure(const std::string& message) const override;
};

}  // namespace tovix::ui
