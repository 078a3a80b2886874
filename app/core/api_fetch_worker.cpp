#include "app/core/api_fetch_worker.h"

#include "app/core/http_get.h"
#include "app/core/proxy_text.h"

namespace tovix::app {

ApiFetchWorker::ApiFetchWorker(ApiFetchRequest request, QObject* parent)
    : QThread(parent), _request(std::move(request)) {}

void ApiFetchWorker::run() {
  ApiFetchOutcome outcome;
  try {
    const HttpGetResult answer = http_get(_request.url, API_FETCH_TIMEOUT);
    if (!answer.ok) {
      outcome.problem = QString::fromStdString(answer.error);
    } else {
      ExtractedProxies parsed =
          parse_extraction_answer(answer.body, _request.type, _request.username, _request.password);
      outcome.entries = std::move(parsed.entries);
      outcome.problem = QString::fromStdString(parsed.problem);
    }
  } catch (const std::exception& e) {
    outcome.entries = nlohmann::ordered_json::array();
    outcome.problem = QStringLiteral("提取异常: ") + QString::fromStdString(e.what());
  }
  emit fetched(outcome);
}

}  // namespace tovix::app
