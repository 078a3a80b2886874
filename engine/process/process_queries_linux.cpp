// Process queries from /proc: image names from the executable link (or comm for kernel threads
// and unreadable links), connections from sock_diag (or /proc/net/tcp{,6}) with their socket
// inodes traced to the processes holding them through /proc/<pid>/fd.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

#include "engine/process/process_queries.h"
#include "engine/process/process_queries_linux.h"
#include "engine/process/sock_diag_linux.h"
#include "engine/process/tcp_table_parsing.h"

namespace tovix {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::optional<std::uint32_t> parse_pid(const char* name) {
  std::uint32_t pid = 0;
  const char* end = name + std::strlen(name);
  auto [ptr, error] = std::from_chars(name, end, pid);
  if (error != std::errc() || ptr != end || ptr == name) return std::nullopt;
  return pid;
}

std::optional<std::string> read_link_at(int dir_fd, const char* path) {
  char buffer[4096];
  const ssize_t length = readlinkat(dir_fd, path, buffer, sizeof buffer);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(length));
}

// The whole file, or nothing when it cannot be opened; `error` then holds errno.
std::optional<std::string> read_file(const std::string& path, int& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

std::string base_name(std::string_view path) {
  // A replaced executable keeps its old path with this mark.
  constexpr std::string_view deleted = " (deleted)";
  if (path.size() > deleted.size() && path.substr(path.size() - deleted.size()) == deleted) {
    path.remove_suffix(deleted.size());
  }
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Name and path of one process; nothing when it has gone.
std::optional<ProcessEntry> read_process(std::uint32_t pid, ProcessDetail detail) {
  ProcessEntry entry;
  entry.pid = pid;
  const std::string dir = fmt::format("/proc/{}", pid);
  if (auto exe = read_link_at(AT_FDCWD, (dir + "/exe").c_str()); exe && !exe->empty()) {
    entry.name = base_name(*exe);
    if (detail == ProcessDetail::name_and_path) entry.exe = std::move(*exe);
    return entry;
  }
  // Kernel threads, zombies and other users' processes have no readable link, but a comm.
  int error = 0;
  auto comm = read_file(dir + "/comm", error);
  if (!comm) return std::nullopt;
  if (!comm->empty() && comm->back() == '\n') comm->pop_back();
  entry.name = std::move(*comm);
  return entry;
}

DirHandle open_proc() {
  DirHandle proc(opendir("/proc"));
  if (!proc) throw ProcessQueryError(fmt::format("/proc: {}", std::strerror(errno)));
  return proc;
}

template <typename Visit>
void for_each_pid(DIR* proc, Visit&& visit) {
  errno = 0;
  while (const dirent* item = readdir(proc)) {
    if (auto pid = parse_pid(item->d_name)) {
      if (!visit(*pid)) return;
    }
    errno = 0;
  }
  if (errno != 0) throw ProcessQueryError(fmt::format("/proc: {}", std::strerror(errno)));
}

constexpr std::string_view kSocketPrefix = "socket:[";
// How long a socket that no process visible to us holds (another namespace, another user) is
// left alone before the next full search for it.
constexpr auto kUnownedSocketRetry = std::chrono::seconds(1);
// How often the descriptor through which a known owner holds its socket is read again (one
// read per socket: with a thousand sockets, each pass costs milliseconds). A socket handed on
// to another process is rare, and a new connection's owner is traced when it is first seen.
constexpr auto kOwnerRecheck = std::chrono::seconds(10);
// How long a connection list is reused while no connection has been opened.
constexpr auto kUnchangedReuse = std::chrono::seconds(2);

// The socket inode a /proc/<pid>/fd entry points at, or 0.
std::uint64_t socket_inode_at(int dir_fd, const char* path) {
  char target[64];
  const ssize_t length = readlinkat(dir_fd, path, target, sizeof target);
  if (length <= static_cast<ssize_t>(kSocketPrefix.size()) + 1) return 0;
  const std::string_view link(target, static_cast<std::size_t>(length));
  if (link.substr(0, kSocketPrefix.size()) != kSocketPrefix || link.back() != ']') return 0;
  std::uint64_t inode = 0;
  const char* first = link.data() + kSocketPrefix.size();
  const char* last = link.data() + link.size() - 1;
  return std::from_chars(first, last, inode).ptr == last ? inode : 0;
}

// Finds the processes holding socket inodes. Walking every descriptor of every process costs
// milliseconds, so a walk happens only for sockets not seen before. An owner found before is
// trusted while its process lives, and its descriptor is read again about once a second, so
// that a socket handed to another process is noticed without a read per socket per refresh.
class SocketOwnerTracer {
 public:
  // Fills in the owner of every socket in `owners` that some visible process holds. For a
  // socket shared across a fork the first process found (lowest PID) wins.
  void trace(std::unordered_map<std::uint64_t, std::uint32_t>& owners) {
    std::lock_guard guard(_lock);
    _resolve(owners);
    // Forget sockets that are gone from the table.
    std::erase_if(_known, [&](const auto& item) { return !owners.contains(item.first); });
    std::erase_if(_unowned, [&](const auto& item) { return !owners.contains(item.first); });
  }

  // The owner of one socket (0: none visible), without forgetting the others.
  std::uint32_t owner_of(std::uint64_t inode) {
    std::unordered_map<std::uint64_t, std::uint32_t> owners{{inode, 0}};
    std::lock_guard guard(_lock);
    _resolve(owners);
    return owners.begin()->second;
  }

 private:
  struct Owner {
    std::uint32_t pid = 0;
    std::string fd;
    std::chrono::steady_clock::time_point verified_at;
  };

  void _resolve(std::unordered_map<std::uint64_t, std::uint32_t>& owners) {
    const auto now = std::chrono::steady_clock::now();
    std::unordered_map<std::uint32_t, bool> alive;
    const auto process_alive = [&](std::uint32_t pid) {
      auto [item, fresh] = alive.try_emplace(pid, false);
      if (fresh) item->second = kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
      return item->second;
    };
    std::unordered_map<std::uint64_t, std::uint32_t*> wanted;
    for (auto& [inode, pid] : owners) {
      if (auto known = _known.find(inode); known != _known.end()) {
        Owner& owner = known->second;
        if (process_alive(owner.pid) &&
            (now - owner.verified_at < kOwnerRecheck ||
             socket_inode_at(AT_FDCWD, fmt::format("/proc/{}/fd/{}", owner.pid, owner.fd).c_str()) == inode)) {
          if (now - owner.verified_at >= kOwnerRecheck) owner.verified_at = now;
          pid = owner.pid;
          continue;
        }
        _known.erase(known);
      }
      if (auto unowned = _unowned.find(inode);
          unowned != _unowned.end() && now - unowned->second < kUnownedSocketRetry) {
        continue;
      }
      wanted.emplace(inode, &pid);
    }
    if (!wanted.empty()) search(wanted, now);
  }

  void search(std::unordered_map<std::uint64_t, std::uint32_t*>& wanted, std::chrono::steady_clock::time_point now) {
    std::size_t unresolved = wanted.size();
    DirHandle proc = open_proc();
    for_each_pid(proc.get(), [&](std::uint32_t pid) {
      DirHandle fds(opendir(fmt::format("/proc/{}/fd", pid).c_str()));
      if (!fds) return true;  // exited or not ours to look at
      while (const dirent* item = readdir(fds.get())) {
        if (item->d_name[0] == '.') continue;
        const std::uint64_t inode = socket_inode_at(dirfd(fds.get()), item->d_name);
        auto found = wanted.find(inode);
        if (inode == 0 || found == wanted.end() || *found->second != 0) continue;
        *found->second = pid;
        _known[inode] = {pid, item->d_name, now};
        if (--unresolved == 0) return false;
      }
      return true;
    });
    for (const auto& [inode, pid] : wanted) {
      if (*pid == 0) _unowned[inode] = now;
    }
  }

  std::mutex _lock;
  std::unordered_map<std::uint64_t, Owner> _known;
  std::unordered_map<std::uint64_t, std::chrono::steady_clock::time_point> _unowned;
};

class LinuxProcessQueries final : public ProcessQueries {
 public:
  void for_each_process(ProcessDetail detail, const std::function<void(const ProcessEntry&)>& visit) override {
    DirHandle proc = open_proc();
    for_each_pid(proc.get(), [&](std::uint32_t pid) {
      if (auto entry = read_process(pid, detail)) visit(*entry);
      return true;
    });
  }

  std::optional<std::string> image_name(std::uint32_t pid) override {
    if (pid == 0) return std::nullopt;
    auto entry = read_process(pid, ProcessDetail::name_only);
    if (!entry) return std::nullopt;
    return entry->name;
  }

  explicit LinuxProcessQueries(LinuxSocketTable table) : _table(table) {}

  std::vector<TcpConnection> tcp_connections() override { return _listing(std::nullopt); }

  std::vector<TcpConnection> recent_tcp_connections(std::chrono::milliseconds max_age) override {
    return _listing(max_age);
  }

  std::optional<std::uint32_t> tcp4_socket_owner(std::uint32_t local_address, std::uint16_t local_port,
                                                 std::uint32_t remote_address, std::uint16_t remote_port) override {
    if (_table.load() != LinuxSocketTable::sock_diag) return std::nullopt;
    const auto row = find_tcp4_socket(htonl(local_address), local_port, htonl(remote_address), remote_port);
    if (!row || row->inode == 0) return 0;
    return _tracer.owner_of(row->inode);
  }

  // Without `max_age`, a listing taken now: the kernel counts a connection as opened only once
  // its SYN has left, so a look-up for a SYN held in the queue would find the count unchanged.
  std::vector<TcpConnection> _listing(std::optional<std::chrono::milliseconds> max_age) {
    if (_table.load() == LinuxSocketTable::sock_diag) {
      std::lock_guard guard(_cache_lock);
      // Walking the kernel's connection table costs milliseconds however few sockets there are
      // (the walk covers the whole hash table); while no connection was opened since the last
      // walk, that answer still holds (closed ones linger in it for at most kUnchangedReuse).
      const auto now = std::chrono::steady_clock::now();
      const bool reusable = max_age && _cache_opened;
      if (reusable && now - _cache_taken < *max_age) return _cache;  // without reading the count
      const auto opened = tcp_connections_opened();
      if (reusable && opened && _cache_opened == opened && now - _cache_taken < kUnchangedReuse) return _cache;
      try {
        _cache = _with_owners(dump_tcp_sockets(), _tracer);
        _cache_opened = opened;
        _cache_taken = now;
        return _cache;
      } catch (const ProcessQueryError&) {
        // A kernel built without sock_diag still has the text tables.
        _table = LinuxSocketTable::proc_net_tcp;
      }
    }
    return _with_owners(read_proc_net_table("tcp"), _tracer);
  }

  std::vector<UdpSocketEntry> udp_sockets() override {
    std::vector<ProcNetTcpRow> rows;
    if (_table.load() == LinuxSocketTable::sock_diag) {
      try {
        rows = dump_udp_sockets();
      } catch (const ProcessQueryError&) {
        rows = read_proc_net_table("udp");
      }
    } else {
      rows = read_proc_net_table("udp");
    }
    std::vector<UdpSocketEntry> sockets;
    sockets.reserve(rows.size());
    // UDP sockets have their own tracer: one traces the sockets of one table and forgets the rest.
    for (auto& connection : _with_owners(std::move(rows), _udp_tracer)) {
      if (connection.local) sockets.push_back(UdpSocketEntry{std::move(*connection.local), connection.pid});
    }
    return sockets;
  }

  std::optional<std::uint64_t> process_start_time(std::uint32_t pid) override {
    if (pid == 0) return std::nullopt;
    int error = 0;
    const auto stat = read_file(fmt::format("/proc/{}/stat", pid), error);
    return stat ? parse_process_start_time(*stat) : std::nullopt;
  }

  static std::vector<TcpConnection> _with_owners(std::vector<ProcNetTcpRow> rows, SocketOwnerTracer& tracer) {
    std::unordered_map<std::uint64_t, std::uint32_t> owners;
    for (const auto& row : rows) {
      if (row.inode != 0) owners.emplace(row.inode, 0);
    }
    tracer.trace(owners);

    std::vector<TcpConnection> connections;
    connections.reserve(rows.size());
    for (auto& row : rows) {
      TcpConnection connection;
      connection.local = std::move(row.local);
      connection.state = std::move(row.state);
      if (row.inode != 0) connection.pid = owners[row.inode];
      connections.push_back(std::move(connection));
    }
    return connections;
  }

  // The text tables of one protocol ("tcp" or "udp"); both share their layout.
  static std::vector<ProcNetTcpRow> read_proc_net_table(const std::string& protocol) {
    std::vector<ProcNetTcpRow> rows;
    for (const auto& [path, family] : {std::pair{"/proc/net/" + protocol, AddressFamily::ipv4},
                                       std::pair{"/proc/net/" + protocol + "6", AddressFamily::ipv6}}) {
      int error = 0;
      auto text = read_file(path, error);
      if (!text) {
        // Without IPv6 in the kernel there is no tcp6 table, which just means no such connections.
        if (family == AddressFamily::ipv6 && error == ENOENT) continue;
        throw ProcessQueryError(fmt::format("{}: {}", path, std::strerror(error)));
      }
      auto parsed = parse_proc_net_tcp(*text, family);
      rows.insert(rows.end(), std::make_move_iterator(parsed.begin()), std::make_move_iterator(parsed.end()));
    }
    return rows;
  }

 private:
  std::atomic<LinuxSocketTable> _table;
  SocketOwnerTracer _tracer;
  SocketOwnerTracer _udp_tracer;
  std::mutex _cache_lock;  // also lets one walk serve a refresh that asks meanwhile
  std::vector<TcpConnection> _cache;
  std::optional<std::uint64_t> _cache_opened;
  std::chrono::steady_clock::time_point _cache_taken;
};

}  // namespace

std::optional<std::uint64_t> parse_process_start_time(std::string_view stat) {
  // "pid (comm) state ppid ..." where comm may hold spaces and parentheses: the fields are
  // counted from the last closing parenthesis; the start time is the 22nd field.
  const std::size_t comm_end = stat.rfind(')');
  if (comm_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(comm_end + 1);
  constexpr int kStateField = 3;
  constexpr int kStartTimeField = 22;
  for (int field = kStateField; !rest.empty(); ++field) {
    const std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) break;
    rest.remove_prefix(begin);
    const std::string_view word = rest.substr(0, rest.find_first_of(" \n"));
    if (field == kStateField && (word == "Z" || word == "X")) return std::nullopt;
    if (field == kStartTimeField) {
      std::uint64_t ticks = 0;
      const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), ticks);
      if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
      return ticks;
    }
    rest.remove_prefix(word.size());
  }
  return std::nullopt;
}

std::shared_ptr<ProcessQueries> make_linux_process_queries(LinuxSocketTable table) {
  return std::make_shared<LinuxProcessQueries>(table);
}

std::shared_ptr<ProcessQueries> platform_process_queries() {
  static const auto queries = make_linux_process_queries(LinuxSocketTable::sock_diag);
  return queries;
}

}  // namespace tovix
