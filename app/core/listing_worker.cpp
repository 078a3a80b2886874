#include "app/core/listing_worker.h"

namespace tovix::app {

ListingWorker::ListingWorker(Listing listing, QObject* parent) : QThread(parent), _listing(std::move(listing)) {}

void ListingWorker::run() {
  nlohmann::ordered_json records = nlohmann::ordered_json::array();
  try {
    records = _listing();
  } catch (const std::exception&) {
    // The listings log their own failures; the user sees an empty list.
  }
  emit listed(records);
}

}  // namespace tovix::app
