#include "app/window/api_mode_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

#include "app/core/api_refresher.h"
#include "app/core/proxy_text.h"
#include "app/core/settings_keys.h"
#include "common/json_values.h"
#include "config/settings_store.h"
#include "ui/status_style.h"

namespace tovix::app {
namespace {

QString text_setting(const SettingsStore& settings, const char* key) {
  const nlohmann::ordered_json value = settings.get(key, "");
  return value.is_string() ? QString::fromStdString(value.get<std::string>()) : QString();
}

}  // namespace

ApiModePanel::ApiModePanel(SettingsStore& settings, QWidget* parent)
    : QGroupBox(QStringLiteral("API 提取模式"), parent), _settings(settings) {
  auto* form = new QFormLayout(this);
  _use = new QCheckBox(QStringLiteral("启用（按间隔从提取链接获取代理列表）"));
  _url = new QLineEdit;
  _url->setPlaceholderText(QStringLiteral("http(s)://… 提取链接"));
  _type = new QComboBox;
  _type->addItem(QStringLiteral("SOCKS5"), QString::fromLatin1(PROXY_TYPE_SOCKS5));
  _type->addItem(QStringLiteral("HTTP"), QString::fromLatin1(PROXY_TYPE_HTTP));
  _username = new QLineEdit;
  _username->setPlaceholderText(QStringLiteral("用户名（可选）"));
  _password = new QLineEdit;
  _password->setPlaceholderText(QStringLiteral("密码（可选）"));
  _password->setEchoMode(QLineEdit::Password);
  _interval = new QSpinBox;
  _interval->setRange(API_MIN_INTERVAL_SECONDS, 24 * 3600);
  _interval->setSuffix(QStringLiteral(" 秒"));
  auto* credentials = new QHBoxLayout;
  credentials->addWidget(_username);
  credentials->addWidget(_password);
  _status = new QLabel;
  _status->setWordWrap(true);
  form->addRow(_use);
  form->addRow(QStringLiteral("提取链接"), _url);
  form->addRow(QStringLiteral("代理类型"), _type);
  form->addRow(QStringLiteral("用户名/密码"), credentials);
  form->addRow(QStringLiteral("刷新间隔"), _interval);
  form->addRow(_status);
  reload();
  ui::show_status(_status, QStringLiteral("修改在下次启动代理时生效"), ui::StatusKind::neutral);

  connect(_use, &QCheckBox::toggled, this, [this](bool on) { _settings.set_api_use(on); });
  connect(_url, &QLineEdit::editingFinished, this,
          [this] { _settings.set_api_url(_url->text().trimmed().toStdString()); });
  connect(_username, &QLineEdit::editingFinished, this,
          [this] { _settings.set_api_user(_username->text().toStdString()); });
  connect(_password, &QLineEdit::editingFinished, this,
          [this] { _settings.set_api_pass(_password->text().toStdString()); });
  connect(_type, &QComboBox::currentIndexChanged, this,
          [this] { _settings.set(API_PROXY_TYPE_KEY, _type->currentData().toString().toStdString()); });
  connect(_interval, &QSpinBox::valueChanged, this, [this](int seconds) { _settings.set_api_interval(seconds); });
}

void ApiModePanel::reload() {
  const QSignalBlocker blockers[] = {QSignalBlocker(_use), QSignalBlocker(_type), QSignalBlocker(_interval)};
  _use->setChecked(is_truthy(_settings.api_use()));
  _url->setText(text_setting(_settings, "api_url"));
  _username->setText(text_setting(_settings, "api_user"));
  _password->setText(text_setting(_settings, "api_pass"));
  _type->setCurrentIndex(text_setting(_settings, API_PROXY_TYPE_KEY) == QLatin1String(PROXY_TYPE_HTTP) ? 1 : 0);
  int interval = API_DEFAULT_INTERVAL_SECONDS;
  try {
    interval = static_cast<int>(to_integer(_settings.api_interval()));
  } catch (const std::exception&) {
  }
  _interval->setValue(interval);
}

void ApiModePanel::fill_link(const QString& url) {
  _settings.set_api_url(url.trimmed().toStdString());
  _settings.set_api_use(true);
  reload();
  show_api_status(QStringLiteral("已填入提取链接，API 模式已启用"), true);
}

void ApiModePanel::fill_credentials(const QString& url, const QString& username, const QString& password) {
  _settings.set_api_user(username.toStdString());
  _settings.set_api_pass(password.toStdString());
  fill_link(url);
}

void ApiModePanel::show_api_status(const QString& text, bool ok) {
  ui::show_status(_status, text, ok ? ui::StatusKind::success : ui::StatusKind::error);
}

}  // namespace tovix::app
