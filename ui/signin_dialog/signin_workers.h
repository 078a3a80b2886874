#pragma once
// The console requests of the sign-in window, one worker thread each. Every worker builds its own
// client from the stored root URL, so no client (and no cookie store) is shared between threads.
#include <QObject>
#include <QString>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ui/console_worker.h"
#include "ui/signin_dialog/signin_dialog_export.h"

namespace tovix::ui {

// Signs in by password (login_type "password") or by SMS code (login_type "code", the code in
// password).
class SIGNIN_DIALOG_EXPORT LoginWorker : public ConsoleWorker {
  Q_OBJECT
 public:
  LoginWorker(QString account, QString password, QString base_url, std::optional<QString> captcha_code,
              std::optional<QString> captcha_token, QString login_type = QStringLiteral("password"),
              QObject* parent = nullptr);

  const QString& login_type() const { return _login_type; }

 protected:
  nlohmann::ordered_json _work() override;
  nlohmann::ordered_json _failure(const std::string& error_text) const override;

 private:
  QString _account;
  QString _password;
  QString _base_url;
  std::optional<QString> _captcha_code;
  std::optional<QString> _captcha_token;
  QString _login_type;
};

// Loads one image captcha.
class SIGNIN_DIALOG_EXPORT CaptchaWorker : public ConsoleWorker {
  Q_OBJECT
 public:
  explicit CaptchaWorker(QString base_url, QObject* parent = nullptr);

 protected:
  nlohmann::ordered_json _work() override;
  nlohmann::ordered_json _failure(const std::string& error_text) const override;

 private:
  QString _base_url;
};

// Has the console check the captcha text and, when it passes, send the SMS code; both steps on
// one client, so the console sees one session.
class SIGNIN_DIALOG_EXPORT SendSmsWorker : public ConsoleWorker {
  Q_OBJECT
 public:
  SendSmsWorker(QString phone, int phone_code, QString token, QString captcha, QString base_url,
                QObject* parent = nullptr);

 protected:
  nlohmann::ordered_json _work() override;
  nlohmann::ordered_json _failure(const std::string& error_text) const override;

 private:
  QString _phone;
  int _phone_code;
  QString _token;
  QString _captcha;
  QString _base_url;
};

}  // namespace tovix::ui
