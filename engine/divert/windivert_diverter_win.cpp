#include "engine/divert/windivert_diverter_win.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "common/logging.h"
#include "common/windows_text.h"
#include "engine/divert/windivert_abi_win.h"
#include "engine/divert/windivert_batch_win.h"

namespace tovix {
namespace {

using OpenFn = HANDLE (*)(const char* filter, int layer, std::int16_t priority, std::uint64_t flags);
using RecvFn = BOOL (*)(HANDLE, void* packet, UINT packet_length, UINT* received, windivert::Address*);
using SendFn = BOOL (*)(HANDLE, const void* packet, UINT packet_length, UINT* sent, const windivert::Address*);
// The batched forms: `address_bytes` is the size of the address array in bytes (80 per packet);
// the receive writes back how much of it it filled. Flags must be 0; no OVERLAPPED here.
using RecvExFn = BOOL (*)(HANDLE, void* packets, UINT packets_length, UINT* received, std::uint64_t flags,
                          windivert::Address* addresses, UINT* address_bytes, OVERLAPPED*);
using SendExFn = BOOL (*)(HANDLE, const void* packets, UINT packets_length, UINT* sent, std::uint64_t flags,
                          const windivert::Address* addresses, UINT address_bytes, OVERLAPPED*);
using ShutdownFn = BOOL (*)(HANDLE, int how);
using CloseFn = BOOL (*)(HANDLE);
using SetParamFn = BOOL (*)(HANDLE, int param, std::uint64_t value);
using CalcChecksumsFn = BOOL (*)(void* packet, UINT packet_length, windivert::Address*, std::uint64_t flags);

// WinDivertOpen's own fallback when the driver install failed without saying why.
constexpr DWORD ERROR_OPEN_FAILED_FALLBACK = 110;

// Reads GetLastError at once, before anything else can change it.
DivertOsError last_error(DWORD fallback = ERROR_OPEN_FAILED_FALLBACK) {
  DWORD code = GetLastError();
  if (code == 0) code = fallback;
  return DivertOsError(code, windows_error_text(code));
}

template <typename Fn>
Fn resolve(HMODULE module, const char* name, const std::filesystem::path& file) {
  const FARPROC proc = GetProcAddress(module, name);
  if (proc == nullptr) {
    const DWORD code = GetLastError() != 0 ? GetLastError() : DIVERT_ERROR_PROC_NOT_FOUND;
    throw library_not_loaded_error(code, std::string(name) + " missing from " + utf8_from_wide(file.wstring()));
  }
  // Through a plain function pointer type, which GCC accepts without a cast-function-type warning.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Held connections: handles that drop the applications' packets of those connections, ahead
// of the diverting handle while both are open. Few connections per handle keep each filter
// well within the driver's limits.
constexpr std::uint64_t FLAG_DROP = 0x02;
constexpr std::int16_t HOLD_PRIORITY = 1;
constexpr std::size_t HELD_PER_HANDLE = 16;

std::string hold_filter(const std::vector<TcpTuple>& tuples, std::size_t from, std::size_t to) {
  std::string filter = "outbound and tcp and (";
  for (std::size_t i = from; i < to; ++i) {
    const TcpTuple& t = tuples[i];
    filter += (i > from ? " or " : "") + std::string("(ip.SrcAddr == ") + format_ipv4(t.local_addr) +
              " and tcp.SrcPort == " + std::to_string(t.local_port) +
              " and ip.DstAddr == " + format_ipv4(t.remote_addr) +
              " and tcp.DstPort == " + std::to_string(t.remote_port) + ")";
  }
  return filter + ")";
}

class WinDivertHold final : public HeldConnections {
 public:
  // Keeps the library loaded for as long as the hold lasts, beyond the diverter's own life.
  WinDivertHold(HMODULE library, OpenFn open, CloseFn close, std::vector<TcpTuple> tuples)
      : _open(open), _close(close), _held(std::move(tuples)) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(library, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) _module = LoadLibraryW(path);
    try {
      _handles = _open_all(_held);
    } catch (...) {
      if (_module != nullptr) FreeLibrary(_module);
      throw;
    }
  }
  // Closing the handles lets the packets through again; the process's end does the same.
  ~WinDivertHold() override {
    _close_all(_handles);
    if (_module != nullptr) FreeLibrary(_module);
  }

  std::vector<TcpTuple> held() const override {
    std::lock_guard guard(_lock);
    return _held;
  }
  void release(const std::vector<TcpTuple>& gone) noexcept override {
    std::lock_guard guard(_lock);
    std::vector<TcpTuple> left;
    for (const TcpTuple& tuple : _held)
      if (std::find(gone.begin(), gone.end(), tuple) == gone.end()) left.push_back(tuple);
    if (left.size() == _held.size()) return;
    try {
      std::vector<HANDLE> handles = _open_all(left);  // the new ones first: no moment unheld
      _close_all(_handles);
      _handles = std::move(handles);
      _held = std::move(left);
    } catch (...) {
      // Still held by the old handles; a later release tries again.
    }
  }

 private:
  std::vector<HANDLE> _open_all(const std::vector<TcpTuple>& tuples) {
    std::vector<HANDLE> handles;
    for (std::size_t from = 0; from < tuples.size(); from += HELD_PER_HANDLE) {
      const std::string filter = hold_filter(tuples, from, std::min(tuples.size(), from + HELD_PER_HANDLE));
      const HANDLE handle = _open(filter.c_str(), static_cast<int>(windivert::LAYER_NETWORK), HOLD_PRIORITY, FLAG_DROP);
      if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        const DivertOsError error = last_error();
        _close_all(handles);
        throw error;
      }
      handles.push_back(handle);
    }
    return handles;
  }
  void _close_all(const std::vector<HANDLE>& handles) {
    for (HANDLE handle : handles) _close(handle);
  }

  OpenFn _open;
  CloseFn _close;
  HMODULE _module = nullptr;
  mutable std::mutex _lock;
  std::vector<TcpTuple> _held;
  std::vector<HANDLE> _handles;
};

// A function older or stand-in libraries may lack; null then.
template <typename Fn>
Fn resolve_optional(HMODULE module, const char* name) {
  const FARPROC proc = GetProcAddress(module, name);
  return proc == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

struct WinDivertDiverter::Api {
  OpenFn open;
  RecvFn recv;
  SendFn send;
  ShutdownFn shutdown;
  CloseFn close;
  SetParamFn set_param;
  CalcChecksumsFn calc_checksums;
  // Both or neither.
  RecvExFn recv_ex;
  SendExFn send_ex;
};

WinDivertDiverter::WinDivertDiverter(std::filesystem::path library_path) : _library_path(std::move(library_path)) {}

WinDivertDiverter::~WinDivertDiverter() {
  close();
  if (_module != nullptr) FreeLibrary(static_cast<HMODULE>(_module));
}

std::vector<std::filesystem::path> WinDivertDiverter::library_candidates() const {
  if (_library_path.empty()) return {LIBRARY_NAME, RELEASE_LIBRARY_NAME};
  std::vector<std::filesystem::path> candidates = {_library_path};
  // WinDivert's x64 release names its library WinDivert.dll; accept it beside the given file.
  if (_library_path.filename() != RELEASE_LIBRARY_NAME) {
    candidates.push_back(_library_path.parent_path() / RELEASE_LIBRARY_NAME);
  }
  return candidates;
}

const WinDivertDiverter::Api& WinDivertDiverter::api() {
  std::lock_guard lock(_lock);
  if (_api) return *_api;
  HMODULE module = nullptr;
  DWORD error = DIVERT_ERROR_MOD_NOT_FOUND;
  std::filesystem::path loaded;
  std::string tried;
  for (const std::filesystem::path& candidate : library_candidates()) {
    module = LoadLibraryW(candidate.c_str());
    if (module != nullptr) {
      loaded = candidate;
      break;
    }
    error = GetLastError() != 0 ? GetLastError() : DIVERT_ERROR_MOD_NOT_FOUND;
    tried += (tried.empty() ? "" : ", ") + utf8_from_wide(candidate.wstring());
  }
  if (module == nullptr) throw library_not_loaded_error(error, tried + ": " + windows_error_text(error));
  try {
    _api = std::make_unique<Api>(Api{
        resolve<OpenFn>(module, "WinDivertOpen", loaded),
        resolve<RecvFn>(module, "WinDivertRecv", loaded),
        resolve<SendFn>(module, "WinDivertSend", loaded),
        resolve<ShutdownFn>(module, "WinDivertShutdown", loaded),
        resolve<CloseFn>(module, "WinDivertClose", loaded),
        resolve<SetParamFn>(module, "WinDivertSetParam", loaded),
        resolve<CalcChecksumsFn>(module, "WinDivertHelperCalcChecksums", loaded),
        resolve_optional<RecvExFn>(module, "WinDivertRecvEx"),
        resolve_optional<SendExFn>(module, "WinDivertSendEx"),
    });
    if (_api->recv_ex == nullptr || _api->send_ex == nullptr) {
      _api->recv_ex = nullptr;
      _api->send_ex = nullptr;
    }
  } catch (...) {
    FreeLibrary(module);
    throw;
  }
  _module = module;
  return *_api;
}

void* WinDivertDiverter::open_handle(const std::string& filter) {
  const Api& api = this->api();
  const HANDLE handle = api.open(filter.c_str(), static_cast<int>(windivert::LAYER_NETWORK), 0, 0);
  // The library returns NULL instead of INVALID_HANDLE_VALUE when it runs out of memory.
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) throw last_error();
  return handle;
}

void WinDivertDiverter::register_driver() {
  // Opening any handle installs and starts the driver service; a filter that matches nothing
  // keeps this one from touching traffic.
  void* handle = open_handle("false");
  api().close(handle);
}

void WinDivertDiverter::open(const std::string& filter) {
  close();
  _handle.store(open_handle(filter));
}

void WinDivertDiverter::set_param(DivertParam param, std::uint64_t value) {
  void* handle = _handle.load();
  if (handle == nullptr) throw handle_not_open_error();
  if (!_api->set_param(handle, static_cast<int>(param), value)) throw last_error(DIVERT_ERROR_INVALID_PARAMETER);
}

bool WinDivertDiverter::batched() const noexcept { return _api && _api->recv_ex != nullptr; }

std::optional<Packet> WinDivertDiverter::recv() {
  void* handle = _handle.load();
  if (handle == nullptr) throw handle_not_open_error();
  return batched() ? recv_batch(handle) : recv_one(handle);
}

std::optional<Packet> WinDivertDiverter::recv_one(void* handle) {
  // Anything smaller loses packets: the driver truncates them and drops the rest.
  if (_receive_buffer.size() != windivert::MTU_MAX) _receive_buffer.resize(windivert::MTU_MAX);
  windivert::Address address{};
  UINT length = 0;
  if (!_api->recv(handle, _receive_buffer.data(), static_cast<UINT>(_receive_buffer.size()), &length, &address)) {
    const DWORD code = GetLastError();
    if (code == DIVERT_ERROR_NO_DATA) return std::nullopt;  // shut down and drained
    throw DivertOsError(code, windows_error_text(code));
  }
  std::vector<std::uint8_t> bytes(_receive_buffer.begin(), _receive_buffer.begin() + length);
  return Packet(std::move(bytes), windivert::capture_info_from(address));
}

std::optional<Packet> WinDivertDiverter::recv_batch(void* handle) {
  if (!_received) _received = std::make_unique<windivert::ReceivedBatch>();
  while (_received->empty()) {
    // Whatever the caller sent while handling the last batch leaves before this call blocks.
    flush_sends(handle);
    UINT length = 0;
    auto address_bytes = static_cast<UINT>(_received->address_bytes());
    if (!_api->recv_ex(handle, _received->buffer(), static_cast<UINT>(_received->buffer_size()), &length, 0,
                       _received->addresses(), &address_bytes, nullptr)) {
      const DWORD code = GetLastError();
      if (code == DIVERT_ERROR_NO_DATA) return std::nullopt;  // shut down and drained
      throw DivertOsError(code, windows_error_text(code));
    }
    _received->fill(length, address_bytes / sizeof(windivert::Address));
  }
  return _received->take();
}

void WinDivertDiverter::send(const Packet& packet) {
  void* handle = _handle.load();
  if (handle == nullptr) throw handle_not_open_error();
  if (!batched() || !windivert::SendQueue::batchable(packet)) {
    // In order behind what is queued; the driver's verdict on this one reaches the caller.
    flush_sends(handle);
    send_one(handle, packet);
    return;
  }
  if (!_sending) _sending = std::make_unique<windivert::SendQueue>();
  _sending->add(packet);
  if (_sending->full()) flush_sends(handle);
}

void WinDivertDiverter::recycle(Packet&& packet) noexcept {
  if (_received) _received->recycle(std::move(packet).take_storage());
}

void WinDivertDiverter::inject(const Packet& packet) {
  void* handle = _handle.load();
  if (handle == nullptr) throw handle_not_open_error();
  send_one(handle, packet);
}

void WinDivertDiverter::send_one(void* handle, const Packet& packet) {
  const windivert::Address address = windivert::address_from(packet.info(), packet.ip_version() == 6);
  if (!_api->send(handle, packet.bytes().data(), static_cast<UINT>(packet.bytes().size()), nullptr, &address)) {
    throw last_error();
  }
}

void WinDivertDiverter::flush_sends(void* handle) noexcept {
  if (!_sending || _sending->empty()) return;
  const std::span<const std::uint8_t> bytes = _sending->bytes();
  const std::span<const windivert::Address> addresses = _sending->addresses();
  // The driver goes on past a packet the network stack refuses and reports the last such
  // refusal; a batch it cannot even parse never gets here (SendQueue::batchable).
  if (!_api->send_ex(handle, bytes.data(), static_cast<UINT>(bytes.size()), nullptr, 0, addresses.data(),
                     static_cast<UINT>(addresses.size_bytes()), nullptr)) {
    const DWORD code = GetLastError();
    try {
      get_logger(LOGGER_ENGINE)
          ->warn("WinDivert 批量发送失败 ({} 个数据包): [WinError {}] {}", addresses.size(), code,
                 windows_error_text(code));
    } catch (...) {
    }
  }
  _sending->clear();
}

void WinDivertDiverter::recalculate_checksums(Packet& packet) {
  const Api& api = this->api();
  windivert::Address address = windivert::address_from(packet.info(), packet.ip_version() == 6);
  const std::span<std::uint8_t> bytes = packet.mutable_bytes();
  // The helper also sets the checksum bits the driver reads when the packet is sent. A packet
  // it cannot parse is left as it is, like our own computation does.
  if (!api.calc_checksums(bytes.data(), static_cast<UINT>(bytes.size()), &address, 0)) return;
  CaptureInfo& info = packet.info();
  info.ip_checksum_valid = address.IPChecksum != 0;
  info.tcp_checksum_valid = address.TCPChecksum != 0;
  info.udp_checksum_valid = address.UDPChecksum != 0;
}

void WinDivertDiverter::shutdown() noexcept {
  std::lock_guard lock(_lock);
  void* handle = _handle.load();
  // Receive only: the packet in hand may still be sent back.
  if (handle != nullptr) _api->shutdown(handle, static_cast<int>(windivert::SHUTDOWN_RECV));
}

void WinDivertDiverter::close() noexcept {
  std::lock_guard lock(_lock);
  void* handle = _handle.exchange(nullptr);
  if (handle == nullptr) return;
  flush_sends(handle);
  _api->close(handle);
  // Taken from the driver but never handed out: like packets the engine drops, they are
  // retransmitted by their senders.
  _received.reset();
}

bool WinDivertDiverter::is_open() const noexcept { return _handle.load() != nullptr; }

std::unique_ptr<HeldConnections> WinDivertDiverter::hold_after_close(const std::vector<TcpTuple>& connections) {
  if (_handle.load() == nullptr) throw handle_not_open_error();
  return std::make_unique<WinDivertHold>(static_cast<HMODULE>(_module), _api->open, _api->close, connections);
}

std::unique_ptr<PacketDiverter> make_system_diverter(const std::filesystem::path& library_path) {
  return std::make_unique<WinDivertDiverter>(library_path);
}

}  // namespace tovix
