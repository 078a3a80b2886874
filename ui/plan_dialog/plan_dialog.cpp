#include "ui/plan_dialog/plan_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <utility>

#include "common/json_values.h"
#include "ui/plan_dialog/api_link_dialog.h"
#include "ui/pointing_button.h"
#include "ui/result_values.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix {
namespace {

using ui::display_text;
using ui::show_status;
using ui::StatusKind;

const char* const LONG_TERM_MODULE = "tv_proxy_domestic";
constexpr int IMPORT_COLUMN = 5;
constexpr int WHITELIST_COLUMN = 4;
constexpr int API_LINK_COLUMN = 5;

const char* const HEADER_STYLE = "font-size: 17px; font-weight: bold; color: #89b4fa;";
const char* const SELECT_BUTTON_STYLE =
    "QPushButton { background-color: #313244; color: #cdd6f4; padding: 6px 16px; border-radius: 4px; }"
    "QPushButton:hover { background-color: #45475a; }";
const char* const BATCH_BUTTON_STYLE =
    "QPushButton { background-color: #1e66f5; color: #ffffff; padding: 6px 20px; border-radius: 4px; "
    "font-weight: bold; }"
    "QPushButton:hover { background-color: #2a7aff; }";
const char* const CLOSE_BUTTON_STYLE =
    "QPushButton { background-color: #45475a; color: #cdd6f4; padding: 8px 24px; border-radius: 6px; }"
    "QPushButton:hover { background-color: #585b70; }";

QString module_title(const std::optional<QString>& module) {
  if (module == QStringLiteral("tv_proxy_domestic")) return QStringLiteral("国内长效代理");
  if (module == QStringLiteral("tv_proxy_ip")) return QStringLiteral("国内短效代理");
  return QStringLiteral("已开通产品");
}

std::string setting_text(const Json& value) { return value.is_null() ? std::string() : text_of(value); }

ProxyTriple proxy_of(const Json& product) {
  return {display_text(product, "ip_first"), display_text(product, "user_name"), display_text(product, "password")};
}

}  // namespace

PlanDialog::PlanDialog(QWidget* parent, std::optional<QString> module, std::vector<PublicIpSource> ip_sources)
    : QDialog(parent),
      config(SettingsStore::instance()),
      module(std::move(module)),
      _is_long_term(this->module == QLatin1String(LONG_TERM_MODULE)),
      COL_CHECK(_is_long_term ? 0 : -1),
      _ip_sources(std::move(ip_sources)) {
  const QString title = module_title(this->module);
  setWindowTitle(title);
  setMinimumSize(820, 500);
  setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint | Qt::WindowTitleHint);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 12, 16, 16);
  layout->setSpacing(10);

  auto* header = new QLabel(title + QStringLiteral(" — 已开通产品（使用中）"));
  header->setAlignment(Qt::AlignCenter);
  header->setStyleSheet(QString::fromUtf8(HEADER_STYLE));
  layout->addWidget(header);

  table = new QTableWidget;
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->verticalHeader()->setVisible(false);
  table->setAlternatingRowColors(true);
  table->setStyleSheet(QString::fromUtf8(TABLE_STYLE));
  connect(table, &QTableWidget::cellClicked, this, &PlanDialog::_on_cell_clicked);
  if (_is_long_term) {
    _setup_long_term_columns();
  } else {
    _setup_short_term_columns();
  }
  layout->addWidget(table);

  auto* bottom = new QHBoxLayout;
  if (_is_long_term) {
    const QString select_style = QString::fromUtf8(SELECT_BUTTON_STYLE);
    btn_select_all = ui::pointing_button(QStringLiteral("全选"), {}, select_style);
    connect(btn_select_all, &QPushButton::clicked, this, &PlanDialog::_select_all);
    btn_deselect_all = ui::pointing_button(QStringLiteral("取消全选"), {}, select_style);
    connect(btn_deselect_all, &QPushButton::clicked, this, &PlanDialog::_deselect_all);
    btn_batch_import = ui::pointing_button(QStringLiteral("批量导入选中"), {}, QString::fromUtf8(BATCH_BUTTON_STYLE));
    connect(btn_batch_import, &QPushButton::clicked, this, &PlanDialog::_batch_import);
    for (QPushButton* button : {btn_select_all, btn_deselect_all, btn_batch_import}) bottom->addWidget(button);
  }
  label_status = new QLabel;
  show_status(label_status, {}, StatusKind::neutral);
  bottom->addWidget(label_status, 1);
  btn_close = ui::pointing_button(QStringLiteral("关闭"), {}, QString::fromUtf8(CLOSE_BUTTON_STYLE));
  connect(btn_close, &QPushButton::clicked, this, &QDialog::close);
  bottom->addWidget(btn_close);
  layout->addLayout(bottom);

  _load_products();
}

PlanDialog::~PlanDialog() {
  ui::release_worker(_worker, this);
  ui::release_worker(_wl_fetch_worker, this);
  ui::release_worker(_wl_save_worker, this);
}

std::pair<std::string, std::string> PlanDialog::_console_access() const {
  return {setting_text(config.tovixproxy_jwt()), setting_text(config.tovixproxy_base_url())};
}

template <class Worker>
void PlanDialog::_start_worker(QPointer<Worker>& slot, Worker* worker, const QString& attr_name,
                               void (PlanDialog::*on_result)(const nlohmann::ordered_json&)) {
  ui::release_worker(slot, this);
  slot = worker;
  connect(worker, &ui::ConsoleWorker::result_ready, this, on_result);
  connect(worker, &QThread::finished, this, [this, &slot, worker, attr_name] {
    if (slot == worker) _cleanup_worker(attr_name);
  });
  worker->start();
}

template void PlanDialog::_start_worker<WhitelistFetchWorker>(QPointer<WhitelistFetchWorker>&, WhitelistFetchWorker*,
                                                              const QString&,
                                                              void (PlanDialog::*)(const nlohmann::ordered_json&));
template void PlanDialog::_start_worker<WhitelistSaveWorker>(QPointer<WhitelistSaveWorker>&, WhitelistSaveWorker*,
                                                             const QString&,
                                                             void (PlanDialog::*)(const nlohmann::ordered_json&));

void PlanDialog::_load_products() {
  show_status(label_status, QStringLiteral("加载中..."), StatusKind::neutral);
  table->setRowCount(0);
  const auto [jwt, base] = _console_access();
  if (jwt.empty()) {
    show_status(label_status, QStringLiteral("未登录，请先登录"), StatusKind::error);
    return;
  }
  _start_worker(_worker, new ProductFetchWorker(jwt, base, module.value_or(QString()).toStdString()),
                QStringLiteral("_worker"), &PlanDialog::_on_result);
}

void PlanDialog::_on_result(const nlohmann::ordered_json& result) {
  if (!ui::is_set(result, "success")) {
    show_status(label_status,
                QStringLiteral("加载失败: ") + display_text(result, "message", QStringLiteral("获取失败")),
                StatusKind::error);
    return;
  }
  _products.clear();
  const auto products = result.find("products");
  if (products != result.end() && products->is_array()) {
    for (const Json& product : *products) {
      if (product.is_object() && product.value("status", Json()) == "Active") _products.push_back(product);
    }
  }
  if (_is_long_term) {
    _populate_long_term(_products);
  } else {
    _populate_short_term(_products);
  }
  show_status(label_status, QStringLiteral("共 %1 个产品（使用中）").arg(_products.size()), StatusKind::neutral);
}

void PlanDialog::_on_cell_clicked(int row, int col) {
  if (row < 0 || static_cast<std::size_t>(row) >= _products.size()) return;
  const Json product = _products[static_cast<std::size_t>(row)];
  if (_is_long_term) {
    if (col != IMPORT_COLUMN) return;
    const auto [ip_first, user_name, password] = proxy_of(product);
    emit long_term_import(ip_first, user_name, password);
    show_status(label_status, QStringLiteral("已导入 1 个代理"), StatusKind::success);
    return;
  }
  if (col == WHITELIST_COLUMN) {
    _edit_whitelist(display_text(product, "id"));
  } else if (col == API_LINK_COLUMN) {
    // A child of this dialog, so it goes with it should the owner close this one meanwhile.
    QPointer<ApiLinkDialog> links = new ApiLinkDialog(
        display_text(product, "api_url"), display_text(product, "api_key"), display_text(product, "pack_mark"), this,
        display_text(product, "pur_auth_user"), display_text(product, "pur_auth_passwd"));
    connect(links, &ApiLinkDialog::api_url_filled, this, &PlanDialog::_on_api_link_filled);
    connect(links, &ApiLinkDialog::cred_filled, this, &PlanDialog::_on_api_cred_filled);
    links->exec();
    delete links.data();
  }
}

void PlanDialog::_on_api_link_filled(const QString& url) {
  emit api_link_filled(url);
  show_status(label_status, QStringLiteral("API链接已填入"), StatusKind::success);
}

void PlanDialog::_on_api_cred_filled(const QString& url, const QString& user, const QString& passwd) {
  emit api_cred_filled(url, user, passwd);
}

void PlanDialog::_batch_import() {
  QList<ProxyTriple> proxies;
  for (std::size_t row = 0; row < _products.size(); ++row) {
    const QTableWidgetItem* check = table->item(static_cast<int>(row), COL_CHECK);
    if (check != nullptr && check->checkState() == Qt::Checked) proxies << proxy_of(_products[row]);
  }
  if (proxies.isEmpty()) {
    show_status(label_status, QStringLiteral("请先勾选要导入的产品"), StatusKind::error);
    return;
  }
  emit batch_long_term_import(proxies);
  show_status(label_status, QStringLiteral("已批量导入 %1 个代理").arg(proxies.size()), StatusKind::success);
}

void PlanDialog::_set_check_states(Qt::CheckState state) {
  for (int row = 0; row < table->rowCount(); ++row) {
    if (QTableWidgetItem* check = table->item(row, COL_CHECK)) check->setCheckState(state);
  }
}

void PlanDialog::_select_all() { _set_check_states(Qt::Checked); }

void PlanDialog::_deselect_all() { _set_check_states(Qt::Unchecked); }

void PlanDialog::_on_worker_finished() { _cleanup_worker(QStringLiteral("_worker")); }

void PlanDialog::_cleanup_worker(const QString& attr_name) {
  // The slot's worker has ended (or is dropped); release_worker defers its deletion until then.
  if (attr_name == QLatin1String("_worker")) {
    ui::release_worker(_worker, this);
  } else if (attr_name == QLatin1String("_wl_fetch_worker")) {
    ui::release_worker(_wl_fetch_worker, this);
  } else if (attr_name == QLatin1String("_wl_save_worker")) {
    ui::release_worker(_wl_save_worker, this);
  }
}

}  // namespace tovix
