#pragma once
// Runs one listing (running processes, installed applications) on its own thread: the
// Start-menu scan alone may take seconds. Emits `listed` exactly once.
#include <QThread>
#include <functional>

#include <nlohmann/json.hpp>

namespace tovix::app {

class ListingWorker : public QThread {
  Q_OBJECT

 public:
  using Listing = std::function<nlohmann::ordered_json()>;
  explicit ListingWorker(Listing listing, QObject* parent = nullptr);

 signals:
  void listed(const nlohmann::ordered_json& records);

 protected:
  void run() override;

 private:
  const Listing _listing;
};

}  // namespace tovix::app
