#include "app/core/api_refresher.h"

#include "ui/worker_slot.h"

namespace tovix::app {

ApiRefresher::ApiRefresher(QObject* parent) : QObject(parent) {
  connect(&_timer, &QTimer::timeout, this, &ApiRefresher::fetch_now);
}

ApiRefresher::~ApiRefresher() { stop(); }

void ApiRefresher::start(ApiFetchRequest request, int interval_seconds) {
  stop();
  _request = std::move(request);
  if (interval_seconds <= 0) interval_seconds = API_DEFAULT_INTERVAL_SECONDS;
  _timer.start(std::max(interval_seconds, API_MIN_INTERVAL_SECONDS) * 1000);
  fetch_now();
}

void ApiRefresher::stop() {
  _timer.stop();
  ui::release_worker(_worker, this);
}

void ApiRefresher::fetch_now() {
  if (_worker) return;
  _worker = new ApiFetchWorker(_request);
  ApiFetchWorker* worker = _worker;
  // The slot frees as soon as the answer is in, not when the thread winds down after it: a
  // refresh asked for right after an answer must run, not be taken for one under way.
  connect(worker, &ApiFetchWorker::fetched, this, [this, worker](const ApiFetchOutcome& outcome) {
    const ApiFetchOutcome answer = outcome;  // releasing the worker drops this connection
    if (_worker == worker) ui::release_worker(_worker, this);
    _on_fetched(answer);
  });
  connect(worker, &QThread::finished, this, [this, worker] {
    if (_worker == worker) ui::release_worker(_worker, this);
  });
  worker->start();
}

void ApiRefresher::_on_fetched(const ApiFetchOutcome& outcome) {
  if (!outcome.problem.isEmpty()) {
    emit fetch_failed(outcome.problem);
  } else {
    emit proxies_fetched(outcome.entries);
  }
}

}  // namespace tovix::app
