#pragma once
// A worker thread that makes one console call with a web client of its own and hands the result
// record to the GUI thread. Whatever the call raises becomes a failure record, so result_ready is
// emitted exactly once per run, before the thread's finished signal.
#include <QThread>
#include <string>

#include <nlohmann/json.hpp>

#include "api/tovixproxy_client.h"
#include "ui/plan_dialog/plan_dialog_export.h"

namespace tovix {

class PLAN_DIALOG_EXPORT ConsoleWorker : public QThread {
  Q_OBJECT
 public:
  // Read by the worker thread; never changed after construction.
  const std::string jwt_token;
  const std::string base_url;

 signals:
  void result_ready(const nlohmann::ordered_json& result);

 protected:
  ConsoleWorker(std::string jwt_token, std::string base_url, QObject* parent);
  void run() final;
  // The one call; runs on the worker thread.
  virtual Json _call(ToVixProxyClient& client) = 0;
  // The record reported when creating the client or the call raises.
  virtual Json _failure(const std::string& message) const;
};

}  // namespace tovix
