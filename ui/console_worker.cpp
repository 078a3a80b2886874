#include "ui/console_worker.h"

#include <exception>

#include "common/text.h"

namespace tovix::ui {

void ConsoleWorker::run() {
  nlohmann::ordered_json result;
  try {
    result = _work();
  } catch (const std::exception& error) {
    result = _failure(tovix::to_valid_utf8(error.what()));
  } catch (...) {
    result = _failure("未知错误");
  }
  emit result_ready(result);
}

}  // namespace tovix::ui
