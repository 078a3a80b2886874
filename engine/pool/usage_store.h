#pragma once
// What each upstream proxy has carried: bytes up and down and connections, since the session
// started (the engine's run) and in total over every run. The totals are kept in a small file
// of their own beside config.json (never in it), replaced whole on each save so that a crash
// leaves the previous version; the file names proxies by type, user, host and port, never by
// password.
//
// Threads: every operation is safe from any thread; counting never touches the disk, save()
// writes outside the counters' lock.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "engine/pool/proxy_identity.h"
#include "engine/pool/proxy_pool_export.h"

namespace tovix::pool {

struct UsageCounters {
  std::uint64_t bytes_up = 0;
  std::uint64_t bytes_down = 0;
  std::uint64_t connections = 0;
  bool operator==(const UsageCounters&) const = default;
};

struct ProxyUsage {
  UsageCounters since_start;
  UsageCounters total;  // includes since_start
};

class PROXY_POOL_EXPORT UsageStore {
 public:
  static constexpr const char* FILE_NAME = "proxy_usage.json";
  // API mode brings new proxies all the time: the least recently used go beyond this many.
  static constexpr std::size_t MAX_PROXIES = 1000;

  // FILE_NAME in the folder of `config_path`.
  static std::filesystem::path beside(const std::filesystem::path& config_path);

  // Loads the totals. An unreadable file is kept aside as "<name>.bad" and counting starts from
  // zero; a missing one is created at the first save.
  explicit UsageStore(std::filesystem::path file,
                      std::function<std::int64_t()> seconds_now = &UsageStore::_wall_seconds);
  UsageStore(const UsageStore&) = delete;
  UsageStore& operator=(const UsageStore&) = delete;

  void add_connection(const ProxyIdentity& proxy);
  void add_traffic(const ProxyIdentity& proxy, std::uint64_t bytes_up, std::uint64_t bytes_down);
  // Zeros for a proxy never counted.
  ProxyUsage usage_of(const ProxyIdentity& proxy) const;
  // Every proxy's since-start counters back to zero (a new engine run); totals stay.
  void start_session();

  // Writes the totals when they changed since the last save. False when the write failed (it
  // is logged; the counters stay and the next save tries again).
  bool save();
  const std::filesystem::path& path() const { return _file; }

  static std::int64_t _wall_seconds();

 private:
  struct Record {
    UsageCounters since_start;
    UsageCounters total;
    std::int64_t last_used = 0;  // wall-clock seconds
  };

  void _load();
  Record& _record_locked(const ProxyIdentity& proxy);
  std::string _serialise_locked();

  const std::filesystem::path _file;
  const std::function<std::int64_t()> _seconds_now;
  mutable std::mutex _lock;
  std::map<std::string, Record> _records;  // by ProxyIdentity::key()
  bool _changed = false;
  std::mutex _write_lock;  // one file write at a time
};

}  // namespace tovix::pool
