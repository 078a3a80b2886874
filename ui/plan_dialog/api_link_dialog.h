#pragma once
// Builds the extraction link of a short-term proxy package from the user's choices and hands it
// to the opener. Does no network traffic and never shows the link.
#include <QDialog>
#include <QString>

#include "ui/plan_dialog/plan_dialog_export.h"

class QComboBox;
class QSpinBox;

namespace tovix {

class PLAN_DIALOG_EXPORT ApiLinkDialog : public QDialog {
  Q_OBJECT
 public:
  ApiLinkDialog(const QString& api_url, const QString& api_key, const QString& pack_mark, QWidget* parent = nullptr,
                const QString& pur_user = {}, const QString& pur_pass = {});

  const QString _api_url;
  const QString _api_key;
  const QString _pack_mark;
  const QString pur_user;
  const QString pur_pass;

  QSpinBox* spin_count = nullptr;
  QComboBox* combo_isp = nullptr;
  QComboBox* combo_auth = nullptr;
  QComboBox* combo_unique = nullptr;
  QSpinBox* spin_unique = nullptr;

  // The link for the current choices, or the empty text without a key or an address.
  QString _build_url() const;

 signals:
  void api_url_filled(const QString& url);
  void cred_filled(const QString& url, const QString& user, const QString& passwd);

 public slots:
  void _on_unique_mode_changed(int index);
  // Emits the link (and, for user-and-password authentication with known credentials, the
  // credentials after it), then closes; does nothing when no link can be built.
  void _on_fill_url();
};

}  // namespace tovix
