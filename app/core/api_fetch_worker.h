#pragma once
// Fetches the API extraction link once on its own thread and turns the answer into ProxyEntry
// records. Emits `fetched` exactly once.
#include <QString>
#include <QThread>
#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

namespace tovix::app {

inline constexpr std::chrono::seconds API_FETCH_TIMEOUT{15};

struct ApiFetchRequest {
  std::string url;
  std::string type;  // of every fetched entry
  std::string username;
  std::string password;
};

struct ApiFetchOutcome {
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  QString problem;  // empty when entries holds at least one proxy
};

class ApiFetchWorker : public QThread {
  Q_OBJECT

 public:
  explicit ApiFetchWorker(ApiFetchRequest request, QObject* parent = nullptr);

 signals:
  void fetched(const tovix::app::ApiFetchOutcome& outcome);

 protected:
  void run() override;

 private:
  const ApiFetchRequest _request;
};

}  // namespace tovix::app
