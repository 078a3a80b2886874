// Process queries through Toolhelp snapshots, QueryFullProcessImageNameW, GetProcessTimes and
// GetExtendedTcpTable / GetExtendedUdpTable (owner PIDs, both address families).
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>
// clang-format on

#include <memory>
#include <type_traits>

#include <fmt/format.h>

#include "common/windows_text.h"
#include "engine/process/process_queries.h"
#include "engine/process/tcp_table_parsing.h"

namespace tovix {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

std::optional<std::string> full_image_path(DWORD pid) {
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::nullopt;
  // Paths may exceed MAX_PATH; grow up to the longest path Windows allows.
  for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 2) {
    std::wstring buffer(capacity, L'\0');
    DWORD size = capacity;
    if (QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size))
      return utf8_from_wide(std::wstring_view(buffer.data(), size));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
  }
  return std::nullopt;
}

// Calls visit(entry) for each snapshot entry until it returns false.
template <typename Visit>
void walk_snapshot(Visit&& visit) {
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    throw ProcessQueryError(fmt::format("CreateToolhelp32Snapshot failed with error {}", GetLastError()));
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  BOOL more = Process32FirstW(snapshot.get(), &entry);
  while (more) {
    if (!visit(entry)) return;
    more = Process32NextW(snapshot.get(), &entry);
  }
  if (const DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES) {
    throw ProcessQueryError(fmt::format("Process32NextW failed with error {}", error));
  }
}

std::string snapshot_name(const PROCESSENTRY32W& entry) {
  return utf8_from_wide(std::wstring_view(entry.szExeFile, wcsnlen(entry.szExeFile, MAX_PATH)));
}

// One of the IP helper's owner tables (GetExtendedTcpTable or GetExtendedUdpTable) of one
// address family, as raw bytes.
template <typename Query>
std::vector<std::uint8_t> owner_pid_table(const char* what, ULONG family, Query&& query) {
  std::vector<std::uint8_t> buffer;
  DWORD size = 0;
  // The table may grow between the size query and the read; a few rounds settle it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD result = query(buffer.empty() ? nullptr : buffer.data(), &size, family);
    if (result == NO_ERROR) return buffer;
    if (result != ERROR_INSUFFICIENT_BUFFER) {
      // A machine without IPv6 simply has no such sockets.
      if (family == AF_INET6 && result == ERROR_NOT_SUPPORTED) return {};
      throw ProcessQueryError(fmt::format("{} failed with error {}", what, result));
    }
    buffer.resize(size);
  }
  throw ProcessQueryError(fmt::format("{} kept growing", what));
}

std::vector<std::uint8_t> tcp_owner_table(ULONG family) {
  return owner_pid_table("GetExtendedTcpTable", family, [](void* buffer, DWORD* size, ULONG af) {
    return GetExtendedTcpTable(buffer, size, FALSE, af, TCP_TABLE_OWNER_PID_ALL, 0);
  });
}

std::vector<std::uint8_t> udp_owner_table(ULONG family) {
  return owner_pid_table("GetExtendedUdpTable", family, [](void* buffer, DWORD* size, ULONG af) {
    return GetExtendedUdpTable(buffer, size, FALSE, af, UDP_TABLE_OWNER_PID, 0);
  });
}

// The records of one owner table, IPv4 rows first.
template <typename Record, typename Table, typename Decode>
std::vector<Record> from_both_families(Table&& table, Decode&& decode) {
  std::vector<Record> records;
  for (const auto& [family, kind] :
       {std::pair{ULONG{AF_INET}, AddressFamily::ipv4}, std::pair{ULONG{AF_INET6}, AddressFamily::ipv6}}) {
    const auto bytes = table(family);
    auto rows = decode(bytes.data(), bytes.size(), kind);
    records.insert(records.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  }
  return records;
}

class WindowsProcessQueries final : public ProcessQueries {
 public:
  void for_each_process(ProcessDetail detail, const std::function<void(const ProcessEntry&)>& visit) override {
    walk_snapshot([&](const PROCESSENTRY32W& snapshot_entry) {
      ProcessEntry entry;
      entry.pid = snapshot_entry.th32ProcessID;
      entry.name = snapshot_name(snapshot_entry);
      if (detail == ProcessDetail::name_and_path) entry.exe = full_image_path(entry.pid);
      visit(entry);
      return true;
    });
  }

  std::optional<std::string> image_name(std::uint32_t pid) override {
    if (pid == 0) return std::nullopt;
    if (auto path = full_image_path(pid)) {
      const auto separator = path->find_last_of("\\/");
      return separator == std::string::npos ? *path : path->substr(separator + 1);
    }
    // Protected processes refuse the handle but still show in a snapshot.
    std::optional<std::string> name;
    try {
      walk_snapshot([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID != pid) return true;
        name = snapshot_name(entry);
        return false;
      });
    } catch (const ProcessQueryError&) {
      return std::nullopt;
    }
    return name;
  }

  std::vector<TcpConnection> tcp_connections() override {
    return from_both_families<TcpConnection>(tcp_owner_table, decode_tcp_owner_pid_table);
  }

  std::vector<UdpSocketEntry> udp_sockets() override {
    return from_both_families<UdpSocketEntry>(udp_owner_table, decode_udp_owner_pid_table);
  }

  std::optional<std::uint64_t> process_start_time(std::uint32_t pid) override {
    if (pid == 0) return std::nullopt;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    // A handle someone still holds keeps an ended process openable; it is gone all the same.
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process.get(), &exit_code) || exit_code != STILL_ACTIVE) return std::nullopt;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return std::nullopt;
    return std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
  }
};

}  // namespace

std::shared_ptr<ProcessQueries> platform_process_queries() {
  static const auto queries = std::make_shared<WindowsProcessQueries>();
  return queries;
}

}  // namespace tovix
