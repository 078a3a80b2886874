// Whitelist editing from the products dialog: read on one worker, edit, write back on another.
#include <QPointer>

#include "ui/plan_dialog/plan_dialog.h"
#include "ui/plan_dialog/whitelist_edit_dialog.h"
#include "ui/plan_dialog/whitelist_text.h"
#include "ui/result_values.h"
#include "ui/status_style.h"

namespace tovix {
namespace {

using ui::display_text;
using ui::show_status;
using ui::StatusKind;

}  // namespace

void PlanDialog::_edit_whitelist(const QString& host_id) {
  const auto [jwt, base] = _console_access();
  if (jwt.empty()) {
    show_status(label_status, QStringLiteral("未登录，请先登录"), StatusKind::error);
    return;
  }
  show_status(label_status, QStringLiteral("获取白名单..."), StatusKind::neutral);
  // One read at a time: nothing in the dialog reacts until the answer is back.
  setEnabled(false);
  _start_worker(_wl_fetch_worker, new WhitelistFetchWorker(jwt, base, host_id.toStdString()),
                QStringLiteral("_wl_fetch_worker"), &PlanDialog::_on_whitelist_fetched);
}

void PlanDialog::_on_whitelist_fetched(const nlohmann::ordered_json& result) {
  setEnabled(true);
  const QString host_id = display_text(result, "host_id");
  // An editor opened empty after a failed read would replace the stored list with whatever
  // the user types, so the read's failure is shown instead.
  if (!ui::is_set(result, "success")) {
    show_status(label_status,
                QStringLiteral("获取白名单失败: ") + display_text(result, "message", QStringLiteral("未知错误")),
                StatusKind::error);
    return;
  }
  const QString current = whitelist_from_console(display_text(result.value("data", Json::object()), "ip_white"));

  QPointer<WhitelistEditDialog> editor = new WhitelistEditDialog(host_id, current, this, _ip_sources);
  const bool accepted = editor->exec() == QDialog::Accepted;
  // The editor is a child: gone if this dialog went away while it was open.
  if (editor.isNull()) return;
  const QString edited = whitelist_from_editor(editor->get_ip_text());
  delete editor.data();
  if (!accepted || edited == current) return;
  _save_whitelist(host_id, edited);
}

void PlanDialog::_save_whitelist(const QString& host_id, const QString& ip_white) {
  const auto [jwt, base] = _console_access();
  show_status(label_status, QStringLiteral("保存白名单..."), StatusKind::neutral);
  _start_worker(_wl_save_worker, new WhitelistSaveWorker(jwt, base, host_id.toStdString(), ip_white.toStdString()),
                QStringLiteral("_wl_save_worker"), &PlanDialog::_on_whitelist_saved);
}

void PlanDialog::_on_whitelist_saved(const nlohmann::ordered_json& result) {
  if (ui::is_set(result, "success")) {
    show_status(label_status, QStringLiteral("白名单已更新"), StatusKind::success);
  } else {
    show_status(label_status,
                QStringLiteral("保存失败: ") + display_text(result, "message", QStringLiteral("未知错误")),
                StatusKind::error);
  }
}

}  // namespace tovix
