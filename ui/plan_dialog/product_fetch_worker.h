#pragma once
// Loads the purchased products of one console module on a thread of its own.
#include <string>

#include "ui/console_worker.h"
#include "ui/plan_dialog/plan_dialog_export.h"

namespace tovix {

class PLAN_DIALOG_EXPORT ProductFetchWorker : public ui::ConsoleWorker {
  Q_OBJECT
 public:
  // How many products one listing asks for.
  static constexpr int PRODUCT_LIMIT = 200;

  ProductFetchWorker(std::string jwt_token, std::string base_url, std::string module, QObject* parent = nullptr);

  const std::string module;

 protected:
  Json _call(ToVixProxyClient& client) override;
};

}  // namespace tovix
