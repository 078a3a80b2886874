#pragma once
// Edits the IP whitelist of one short-term product, one address per line, and can append this
// machine's public address.
#include <QDialog>
#include <QString>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ui/plan_dialog/plan_dialog_export.h"
#include "ui/plan_dialog/public_ip_sources.h"

class QPushButton;
class QTextEdit;

namespace tovix {

class PLAN_DIALOG_EXPORT WhitelistEditDialog : public QDialog {
  Q_OBJECT
 public:
  // The public address is asked of `ip_sources`, in order, each within `ip_timeout`.
  WhitelistEditDialog(const QString& host_id, const QString& current_ip, QWidget* parent = nullptr,
                      std::vector<PublicIpSource> ip_sources = default_public_ip_sources(),
                      std::chrono::milliseconds ip_timeout = PUBLIC_IP_TIMEOUT);

  // The editor's text without white space at either end.
  QString get_ip_text() const;

  // Blocks the calling thread while the sources are asked.
  static std::optional<std::string> _fetch_public_ip(const std::vector<PublicIpSource>& sources,
                                                     std::chrono::milliseconds timeout = PUBLIC_IP_TIMEOUT);

  QTextEdit* text_edit = nullptr;
  QPushButton* btn_add_ip = nullptr;

 public slots:
  void _on_add_local_ip();

 private:
  const std::vector<PublicIpSource> _ip_sources;
  const std::chrono::milliseconds _ip_timeout;
};

}  // namespace tovix
