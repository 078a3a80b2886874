#include "ui/plan_dialog/whitelist_workers.h"

#include <utility>

namespace tovix {

WhitelistFetchWorker::WhitelistFetchWorker(std::string jwt_token, std::string base_url, std::string host_id,
                                           QObject* parent)
    : ui::ConsoleWorker(std::move(jwt_token), std::move(base_url), parent), host_id(std::move(host_id)) {}

Json WhitelistFetchWorker::_call(ToVixProxyClient& client) { return client.get_short_term_whitelist(host_id); }

Json WhitelistFetchWorker::_failure(const std::string& message) const {
  return {{"success", false}, {"message", message}, {"host_id", host_id}};
}

WhitelistSaveWorker::WhitelistSaveWorker(std::string jwt_token, std::string base_url, std::string host_id,
                                         std::string ip_white, QObject* parent)
    : ui::ConsoleWorker(std::move(jwt_token), std::move(base_url), parent),
      host_id(std::move(host_id)),
      ip_white(std::move(ip_white)) {}

Json WhitelistSaveWorker::_call(ToVixProxyClient& client) { return client.set_short_term_whitelist(host_id, ip_white); }

}  // namespace tovix
