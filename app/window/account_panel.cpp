#include "app/window/account_panel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "api/tovixproxy_client.h"
#include "app/core/proxy_text.h"
#include "app/window/whitelist_follow_box.h"
#include "config/settings_store.h"
#include "ui/plan_dialog/plan_dialog.h"
#include "ui/result_values.h"
#include "ui/signin_dialog/signin_dialog.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix::app {
namespace {

std::string text_setting(const SettingsStore& settings, const char* key) {
  const nlohmann::ordered_json value = settings.get(key, "");
  return value.is_string() ? value.get<std::string>() : std::string();
}

}  // namespace

AccountPanel::AccountPanel(SettingsStore& settings, QWidget* parent) : QWidget(parent), _settings(settings) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  _account = new QLabel;
  _account->setObjectName("heading");
  layout->addWidget(_account);
  auto* hint = new QLabel(QStringLiteral(
      "登录后可查看已购买的代理：长效代理可直接导入代理列表，短效代理可生成 API 提取链接并填入 API 提取模式。"));
  hint->setObjectName("hint");
  hint->setWordWrap(true);
  layout->addWidget(hint);

  auto* buttons = new QGridLayout;
  _sign_in = new QPushButton(QStringLiteral("登录账户"));
  _sign_out = new QPushButton(QStringLiteral("退出登录"));
  _long_term = new QPushButton(QStringLiteral("国内长效代理..."));
  _short_term = new QPushButton(QStringLiteral("国内短效代理..."));
  buttons->addWidget(_sign_in, 0, 0);
  buttons->addWidget(_sign_out, 0, 1);
  buttons->addWidget(_long_term, 1, 0);
  buttons->addWidget(_short_term, 1, 1);
  layout->addLayout(buttons);

  auto* import_row = new QHBoxLayout;
  auto* import_label = new QLabel(QStringLiteral("导入长效代理的类型"));
  _import_type = new QComboBox;
  _import_type->addItem(QStringLiteral("SOCKS5"), QString::fromLatin1(PROXY_TYPE_SOCKS5));
  _import_type->addItem(QStringLiteral("HTTP"), QString::fromLatin1(PROXY_TYPE_HTTP));
  import_row->addWidget(import_label);
  import_row->addWidget(_import_type);
  import_row->addStretch(1);
  layout->addLayout(import_row);
  _whitelist = new WhitelistFollowBox(settings);
  layout->addWidget(_whitelist);

  _status = new QLabel;
  _status->setWordWrap(true);
  layout->addWidget(_status);
  layout->addStretch(1);

  connect(_sign_in, &QPushButton::clicked, this, [this] { open_sign_in(); });
  connect(_sign_out, &QPushButton::clicked, this, &AccountPanel::sign_out);
  connect(_long_term, &QPushButton::clicked, this, [this] { open_products(MODULE_LONG_TERM); });
  connect(_short_term, &QPushButton::clicked, this, [this] { open_products(MODULE_SHORT_TERM); });
  _refresh_account();
}

AccountPanel::~AccountPanel() { ui::release_worker(_logout_worker, this); }

void AccountPanel::_refresh_account() {
  const bool signed_in = !text_setting(_settings, "tovixproxy_jwt").empty();
  const QString account = QString::fromStdString(text_setting(_settings, "tovixproxy_account"));
  _account->setText(signed_in ? QStringLiteral("已登录: %1").arg(account) : QStringLiteral("未登录"));
  _sign_in->setEnabled(!signed_in);
  _sign_out->setEnabled(signed_in && _logout_worker.isNull());
  _long_term->setEnabled(signed_in);
  _short_term->setEnabled(signed_in);
}

ui::SignInDialog* AccountPanel::open_sign_in() {
  if (_sign_in_dialog) {
    _sign_in_dialog->raise();
    return _sign_in_dialog;
  }
  _sign_in_dialog = new ui::SignInDialog(_settings, this);
  _sign_in_dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(_sign_in_dialog, &ui::SignInDialog::login_success, this, [this](const QString&, const QString& account) {
    _refresh_account();
    ui::show_status(_status, QStringLiteral("登录成功: %1").arg(account), ui::StatusKind::success);
    emit signed_in();
  });
  _sign_in_dialog->open();
  return _sign_in_dialog;
}

PlanDialog* AccountPanel::open_products(const char* module) {
  if (_plan_dialog) _plan_dialog->close();
  _plan_dialog = new PlanDialog(this, QString::fromLatin1(module));
  _plan_dialog->setAttribute(Qt::WA_DeleteOnClose);
  _connect_products(_plan_dialog);
  _plan_dialog->open();
  return _plan_dialog;
}

void AccountPanel::_connect_products(PlanDialog* dialog) {
  connect(dialog, &PlanDialog::long_term_import, this,
          [this](const QString& ip_first, const QString& user, const QString& password) {
            import_products({{ip_first, user, password}});
          });
  connect(dialog, &PlanDialog::batch_long_term_import, this,
          [this](const QList<ProxyTriple>& products) { import_products(products); });
  connect(dialog, &PlanDialog::api_link_filled, this, [this](const QString& url) {
    emit api_link_received(url);
    ui::show_status(_status, QStringLiteral("已填入 API 提取链接"), ui::StatusKind::success);
  });
  connect(dialog, &PlanDialog::api_cred_filled, this,
          [this](const QString& url, const QString& user, const QString& password) {
            emit api_credentials_received(url, user, password);
            ui::show_status(_status, QStringLiteral("已填入 API 提取链接和账密"), ui::StatusKind::success);
          });
}

void AccountPanel::import_products(const QList<std::tuple<QString, QString, QString>>& products) {
  const std::string type = _import_type->currentData().toString().toStdString();
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  QStringList rejected;
  for (const auto& [ip_first, user, password] : products) {
    if (auto entry = entry_from_product(ip_first.toStdString(), user.toStdString(), password.toStdString(), type)) {
      entries.push_back(std::move(*entry));
    } else {
      rejected.append(ip_first);
    }
  }
  if (!entries.empty()) emit proxies_imported(entries);
  if (rejected.isEmpty()) {
    ui::show_status(_status, QStringLiteral("已导入 %1 个代理").arg(entries.size()), ui::StatusKind::success);
  } else {
    ui::show_status(_status,
                    QStringLiteral("已导入 %1 个代理，%2 个地址无效: %3")
                        .arg(entries.size())
                        .arg(rejected.size())
                        .arg(rejected.join(QStringLiteral(", "))),
                    ui::StatusKind::error);
  }
}

void AccountPanel::sign_out() {
  const std::string base_url = text_setting(_settings, "tovixproxy_base_url");
  const std::string jwt = text_setting(_settings, "tovixproxy_jwt");
  auto task = [base_url, jwt] {
    ToVixProxyClient client(base_url, jwt.empty() ? std::nullopt : std::optional<std::string>(jwt));
    return client.logout();
  };
  const bool started = start_task(_logout_worker, this, std::move(task), [this](const nlohmann::ordered_json& result) {
    // Signed out locally whatever the console said: the token is not used again.
    _settings.set_tovixproxy_jwt("");
    _refresh_account();
    const bool ok = ui::is_set(result, "success");
    ui::show_status(_status,
                    ok ? QStringLiteral("已退出登录")
                       : QStringLiteral("已在本地退出登录（服务器: %1）").arg(ui::text_or(result, "message", "")),
                    ok ? ui::StatusKind::success : ui::StatusKind::error);
    emit signed_out();
  });
  if (!started) return;
  _sign_out->setEnabled(false);
  ui::show_status(_status, QStringLiteral("正在退出登录..."), ui::StatusKind::neutral);
}

}  // namespace tovix::app
