// A stand-in for the WinDivert library with the same exported functions, so the backend's
// loading, error and data paths run under Wine without a driver. Tests steer it through the
// Stub* exports; the open filter "fail <code>" makes WinDivertOpen fail with that code.
#include <windows.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "engine/divert/windivert_abi_win.h"

using tovix::windivert::Address;

namespace {

struct Captured {
  std::vector<unsigned char> bytes;
  Address address;
};

std::mutex lock;
std::condition_variable changed;
std::deque<Captured> queue;
std::vector<Captured> sent;
std::string last_filter;
int last_priority = 0;
UINT64 last_flags = 0;
UINT64 queue_time = 0;
int closes = 0;
bool shut_down = false;
HANDLE const STUB_HANDLE = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5100));

}  // namespace

#define STUB_EXPORT extern "C" __declspec(dllexport)

STUB_EXPORT HANDLE WinDivertOpen(const char* filter, int layer, INT16 priority, UINT64 flags) {
  std::lock_guard guard(lock);
  last_filter = filter;
  last_priority = priority;
  last_flags = flags;
  // A dropping handle (flag 0x02) needs a priority apart from the diverting one's.
  const bool dropping = flags == 0x02 && priority != 0;
  if (layer != 0 || (!dropping && (priority != 0 || flags != 0))) {
    SetLastError(87);
    return INVALID_HANDLE_VALUE;
  }
  if (dropping) return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5200));
  shut_down = false;
  if (last_filter == "fail-null") {
    SetLastError(0);
    return nullptr;
  }
  if (last_filter.rfind("fail ", 0) == 0) {
    SetLastError(static_cast<DWORD>(std::stoul(last_filter.substr(5))));
    return INVALID_HANDLE_VALUE;
  }
  return STUB_HANDLE;
}

STUB_EXPORT BOOL WinDivertRecv(HANDLE handle, void* packet, UINT length, UINT* received, Address* address) {
  std::unique_lock guard(lock);
  if (handle != STUB_HANDLE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  changed.wait(guard, [] { return !queue.empty() || shut_down; });
  if (queue.empty()) {
    SetLastError(232);  // ERROR_NO_DATA: shut down and drained
    return FALSE;
  }
  const Captured next = queue.front();
  queue.pop_front();
  if (next.bytes.size() > length) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(packet, next.bytes.data(), next.bytes.size());
  *received = static_cast<UINT>(next.bytes.size());
  *address = next.address;
  return TRUE;
}

STUB_EXPORT BOOL WinDivertSend(HANDLE handle, const void* packet, UINT length, UINT*, const Address* address) {
  std::lock_guard guard(lock);
  if (handle != STUB_HANDLE || length == 0) {
    SetLastError(1214);
    return FALSE;
  }
  const auto* bytes = static_cast<const unsigned char*>(packet);
  sent.push_back({std::vector<unsigned char>(bytes, bytes + length), *address});
  return TRUE;
}

STUB_EXPORT BOOL WinDivertShutdown(HANDLE, int how) {
  std::lock_guard guard(lock);
  if (how & 1) shut_down = true;
  changed.notify_all();
  return TRUE;
}

STUB_EXPORT BOOL WinDivertClose(HANDLE) {
  std::lock_guard guard(lock);
  ++closes;
  return TRUE;
}

STUB_EXPORT BOOL WinDivertSetParam(HANDLE, int param, UINT64 value) {
  std::lock_guard guard(lock);
  if (param != 1 || value < 100 || value > 16000) {
    SetLastError(87);
    return FALSE;
  }
  queue_time = value;
  return TRUE;
}

// Marks the checksums computed without touching the bytes; refuses packets shorter than an
// IPv4 header, as the real helper refuses what it cannot parse.
STUB_EXPORT BOOL WinDivertHelperCalcChecksums(void*, UINT length, Address* address, UINT64) {
  if (length < 20) return FALSE;
  address->IPChecksum = 1;
  address->TCPChecksum = 1;
  return TRUE;
}

STUB_EXPORT void StubPush(const void* packet, UINT length, const Address* address) {
  std::lock_guard guard(lock);
  const auto* bytes = static_cast<const unsigned char*>(packet);
  queue.push_back({std::vector<unsigned char>(bytes, bytes + length), *address});
  changed.notify_all();
}

// Copies the index-th sent packet out; returns its length, or 0 when there is none.
STUB_EXPORT UINT StubSent(UINT index, void* packet, UINT length, Address* address) {
  std::lock_guard guard(lock);
  if (index >= sent.size() || sent[index].bytes.size() > length) return 0;
  std::memcpy(packet, sent[index].bytes.data(), sent[index].bytes.size());
  *address = sent[index].address;
  return static_cast<UINT>(sent[index].bytes.size());
}

STUB_EXPORT UINT64 StubQueueTime() {
  std::lock_guard guard(lock);
  return queue_time;
}

STUB_EXPORT int StubCloses() {
  std::lock_guard guard(lock);
  return closes;
}

STUB_EXPORT const char* StubLastFilter() {
  std::lock_guard guard(lock);
  return last_filter.c_str();
}

STUB_EXPORT int StubLastPriority() {
  std::lock_guard guard(lock);
  return last_priority;
}

STUB_EXPORT UINT64 StubLastFlags() {
  std::lock_guard guard(lock);
  return last_flags;
}
