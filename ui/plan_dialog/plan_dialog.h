#pragma once
// The purchased products of one console module. Long-term proxies are handed to the owner for
// import one at a time or in a batch; short-term packages offer their extraction link and the
// editing of their IP whitelist. The dialog never changes the proxy list or the settings itself:
// the owner acts on its four signals.
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>
#include <optional>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/settings_store.h"
#include "ui/plan_dialog/plan_dialog_export.h"
#include "ui/plan_dialog/product_fetch_worker.h"
#include "ui/plan_dialog/public_ip_sources.h"
#include "ui/plan_dialog/whitelist_workers.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace tovix {

// ip_first ("host:port"), user name, password of one long-term proxy.
using ProxyTriple = std::tuple<QString, QString, QString>;

class PLAN_DIALOG_EXPORT PlanDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* TABLE_STYLE =
      "QTableWidget { background-color: #1e1e2e; alternate-background-color: #242438; color: #cdd6f4; "
      "gridline-color: #313244; border: 1px solid #313244; }"
      "QTableWidget::item { padding: 6px 10px; }"
      "QHeaderView::section { background-color: #313244; color: #cdd6f4; padding: 6px 10px; border: none; "
      "border-right: 1px solid #45475a; font-weight: bold; }";

  // Starts loading at once. The whitelist editor asks `ip_sources` for this machine's address.
  explicit PlanDialog(QWidget* parent = nullptr, std::optional<QString> module = std::nullopt,
                      std::vector<PublicIpSource> ip_sources = default_public_ip_sources());
  // Running workers are cut off and released when their threads end.
  ~PlanDialog() override;

  SettingsStore& config;
  const std::optional<QString> module;
  QPointer<ProductFetchWorker> _worker;
  // The Active products shown; row i shows _products[i].
  std::vector<nlohmann::ordered_json> _products;
  QTableWidget* table = nullptr;
  const bool _is_long_term;
  // -1 in the short-term layout, which has no check boxes.
  const int COL_CHECK;
  QLabel* label_status = nullptr;
  // Long-term layout only; null otherwise.
  QPushButton* btn_select_all = nullptr;
  QPushButton* btn_deselect_all = nullptr;
  QPushButton* btn_batch_import = nullptr;
  QPushButton* btn_close = nullptr;
  QPointer<WhitelistFetchWorker> _wl_fetch_worker;
  QPointer<WhitelistSaveWorker> _wl_save_worker;

  // Internal operations, all on the GUI thread.
  void _setup_long_term_columns();
  void _setup_short_term_columns();
  void _load_products();
  void _on_result(const nlohmann::ordered_json& result);
  void _populate_long_term(const std::vector<nlohmann::ordered_json>& products);
  void _populate_short_term(const std::vector<nlohmann::ordered_json>& products);
  void _on_cell_clicked(int row, int col);
  void _on_api_link_filled(const QString& url);
  void _on_api_cred_filled(const QString& url, const QString& user, const QString& passwd);
  void _batch_import();
  void _select_all();
  void _deselect_all();
  void _on_worker_finished();
  // Releases the worker kept in the named slot ("_worker", "_wl_fetch_worker", "_wl_save_worker");
  // other names are ignored.
  void _cleanup_worker(const QString& attr_name);

  void _edit_whitelist(const QString& host_id);
  void _on_whitelist_fetched(const nlohmann::ordered_json& result);
  void _save_whitelist(const QString& host_id, const QString& ip_white);
  void _on_whitelist_saved(const nlohmann::ordered_json& result);

 signals:
  void long_term_import(const QString& ip_first, const QString& user_name, const QString& password);
  void batch_long_term_import(const QList<tovix::ProxyTriple>& proxies);
  void api_link_filled(const QString& url);
  void api_cred_filled(const QString& url, const QString& user, const QString& passwd);

 private:
  // Puts worker into slot and starts it; a worker still in the slot is cut off first and lives
  // on until its own thread ends. Only the finish of the worker now in the slot empties it.
  template <class Worker>
  void _start_worker(QPointer<Worker>& slot, Worker* worker, const QString& attr_name,
                     void (PlanDialog::*on_result)(const nlohmann::ordered_json&));
  void _set_check_states(Qt::CheckState state);
  // The signed-in token and the console root; the token is empty when signed out.
  std::pair<std::string, std::string> _console_access() const;

  const std::vector<PublicIpSource> _ip_sources;
};

}  // namespace tovix
