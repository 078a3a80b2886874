#pragma once
// Names the program of the connections the engine could not name: in global mode it never looks
// up owners, so each such row would read "unknown". The owner of the connection's client port is
// found in the machine's TCP table, then its image name. Look-ups run on the resolver's own
// thread, never on the caller's (the GUI) nor on the engine's packet path; each connection is
// looked up once, with a few tries when nothing is found yet (its socket may show up a moment
// later in the table), then left unknown.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/insight/connection_ledger.h"
#include "app/insight/insight_core_export.h"
#include "engine/process/process_queries.h"

namespace tovix::insight {

class INSIGHT_CORE_EXPORT ProgramResolver {
 public:
  static constexpr int MAX_TRIES = 3;

  explicit ProgramResolver(std::shared_ptr<ProcessQueries> queries);
  // Waits for a look-up in progress (one table walk) and joins the thread.
  ~ProgramResolver();
  ProgramResolver(const ProgramResolver&) = delete;
  ProgramResolver& operator=(const ProgramResolver&) = delete;

  // Gives the unnamed connections of `live` the owners found so far and asks for the others;
  // never waits for a look-up. Connections no longer live are forgotten.
  void fill_in(std::vector<ConnectionSample>& live);

  // True once no look-up is queued or running; false when `timeout` passed first.
  bool wait_idle(std::chrono::milliseconds timeout);

 private:
  struct Owner {
    std::uint32_t pid = 0;
    std::optional<std::string> program;
  };
  struct Entry {
    int client_port = 0;
    std::uint32_t known_pid = 0;  // the engine knew the owner but not its name
    int tries = 0;
    bool queued = false;
    std::optional<Owner> owner;
  };
  struct Request {
    ConnectionKey key;
    int client_port = 0;
    std::uint32_t known_pid = 0;
  };

  void _run();
  std::map<ConnectionKey, std::optional<Owner>> _look_up(const std::vector<Request>& batch);

  const std::shared_ptr<ProcessQueries> _queries;
  std::mutex _lock;
  std::condition_variable _wake;
  std::condition_variable _idle;
  std::map<ConnectionKey, Entry> _entries;
  std::vector<Request> _queue;
  bool _busy = false;
  bool _stopping = false;
  std::thread _thread;
};

}  // namespace tovix::insight
