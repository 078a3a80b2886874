#include "ui/plan_dialog/product_fetch_worker.h"

#include <utility>

namespace tovix {

ProductFetchWorker::ProductFetchWorker(std::string jwt_token, std::string base_url, std::string module, QObject* parent)
    : ui::ConsoleWorker(std::move(jwt_token), std::move(base_url), parent), module(std::move(module)) {}

Json ProductFetchWorker::_call(ToVixProxyClient& client) {
  if (module == "tv_proxy_domestic") return client.get_long_term_products(1, PRODUCT_LIMIT);
  if (module == "tv_proxy_ip") return client.get_short_term_products(1, PRODUCT_LIMIT);
  return {{"success", false}, {"message", "未知模块: " + module}};
}

}  // namespace tovix
