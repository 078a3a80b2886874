#include "ui/console_worker.h"

#include <exception>
#include <utility>

#include "common/text.h"

namespace tovix::ui {

ConsoleWorker::ConsoleWorker(std::string jwt_token, std::string base_url, QObject* parent)
    : QThread(parent), jwt_token(std::move(jwt_token)), base_url(std::move(base_url)) {}

void ConsoleWorker::run() {
  Json result;
  try {
    ToVixProxyClient client(base_url, jwt_token);
    result = _call(client);
  } catch (const std::exception& error) {
    result = _failure(to_valid_utf8(error.what()));
  } catch (...) {
    result = _failure("未知错误");
  }
  emit result_ready(result);
}

Json ConsoleWorker::_failure(const std::string& message) const { return {{"success", false}, {"message", message}}; }

}  // namespace tovix::ui
