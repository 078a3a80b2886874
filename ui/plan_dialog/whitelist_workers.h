#pragma once
// The two console calls behind the whitelist editor, each on a thread of its own.
#include <string>

#include "ui/console_worker.h"
#include "ui/plan_dialog/plan_dialog_export.h"

namespace tovix {

// Reads the whitelist of one short-term product.
class PLAN_DIALOG_EXPORT WhitelistFetchWorker : public ui::ConsoleWorker {
  Q_OBJECT
 public:
  WhitelistFetchWorker(std::string jwt_token, std::string base_url, std::string host_id, QObject* parent = nullptr);

  const std::string host_id;

 protected:
  Json _call(ToVixProxyClient& client) override;
  // Carries the id, so the editor still knows which product it edits.
  Json _failure(const std::string& message) const override;
};

// Replaces the whitelist of one short-term product.
class PLAN_DIALOG_EXPORT WhitelistSaveWorker : public ui::ConsoleWorker {
  Q_OBJECT
 public:
  WhitelistSaveWorker(std::string jwt_token, std::string base_url, std::string host_id, std::string ip_white,
                      QObject* parent = nullptr);

  const std::string host_id;
  const std::string ip_white;

 protected:
  Json _call(ToVixProxyClient& client) override;
};

}  // namespace tovix
