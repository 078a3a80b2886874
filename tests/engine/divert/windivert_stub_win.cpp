// A stand-in for the WinDivert library with the same exported functions, so the backend's
// loading, error and data paths run under Wine without a driver. Tests steer it through the
// Stub* exports; the open filter "fail <code>" makes WinDivertOpen fail with that code.
// Built twice: with the batched functions (RecvEx/SendEx, laid out as the driver lays out a
// batch), and without them (WINDIVERT_STUB_SINGLE), as a library that moves one packet per call.
// Each receive and send call is counted.
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
UINT64 receive_calls = 0;
UINT64 send_calls = 0;
// When set, every receive and send call waits on a kernel object once, as the real library's
// call into the driver (DeviceIoControl) crosses into the kernel once.
bool kernel_call = false;
HANDLE kernel_event = CreateEventW(nullptr, TRUE, TRUE, nullptr);

constexpr UINT ADDRESS_BYTES = sizeof(Address);
constexpr UINT BATCH_MAX = 255;

// What `read` reads of the recorded state, under the lock.
template <typename Read>
auto locked(Read read) {
  std::lock_guard guard(lock);
  return read();
}

void cross_into_kernel() {
  if (kernel_call) WaitForSingleObject(kernel_event, 0);
}

// The packet length the driver reads from the IP header; 0 when it refuses the header.
UINT stated_length(const unsigned char* bytes, UINT available) {
  if (available < 20) return 0;
  UINT length = 0;
  if ((bytes[0] >> 4) == 4) {
    length = (UINT{bytes[2]} << 8) | bytes[3];
    if (length < 20) return 0;
  } else if ((bytes[0] >> 4) == 6 && available >= 40) {
    length = 40 + ((UINT{bytes[4]} << 8) | bytes[5]);
  }
  return length <= available ? length : 0;
}
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

namespace {

// One call into the "driver": counted, and with the recorded state locked.
std::unique_lock<std::mutex> enter_call(UINT64& calls) {
  cross_into_kernel();
  std::unique_lock guard(lock);
  ++calls;
  return guard;
}

// As the driver fills a read: waits for the first queued packet, then takes more while
// `max_packets` and the buffer allow (a first packet larger than the buffer is lost, as there).
BOOL receive(std::unique_lock<std::mutex>& guard, HANDLE handle, void* packets, UINT length, UINT* received,
             Address* addresses, UINT max_packets, UINT* count) {
  if (handle != STUB_HANDLE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  changed.wait(guard, [] { return !queue.empty() || shut_down; });
  if (queue.empty()) {
    SetLastError(232);  // ERROR_NO_DATA: shut down and drained
    return FALSE;
  }
  if (queue.front().bytes.size() > length) {
    queue.pop_front();
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* out = static_cast<unsigned char*>(packets);
  UINT written = 0;
  UINT taken = 0;
  while (!queue.empty() && taken < max_packets && queue.front().bytes.size() <= length - written) {
    const Captured& next = queue.front();
    std::memcpy(out + written, next.bytes.data(), next.bytes.size());
    written += static_cast<UINT>(next.bytes.size());
    if (addresses != nullptr) addresses[taken] = next.address;
    ++taken;
    queue.pop_front();
  }
  if (received != nullptr) *received = written;
  *count = taken;
  return TRUE;
}

// As the driver takes a write: packet after packet by the length its header states, one
// address each; a header it cannot use ends the call with 87, the packets before it sent.
BOOL take_sent(HANDLE handle, const void* packets, UINT length, UINT* sent_length, const Address* addresses,
               UINT count) {
  if (handle != STUB_HANDLE || length == 0) {
    SetLastError(handle != STUB_HANDLE ? ERROR_INVALID_HANDLE : 1214);
    return FALSE;
  }
  const auto* bytes = static_cast<const unsigned char*>(packets);
  UINT offset = 0;
  for (UINT i = 0; i < count; ++i) {
    const UINT size = stated_length(bytes + offset, length - offset);
    if (size == 0) {
      SetLastError(87);
      return FALSE;
    }
    sent.push_back({std::vector<unsigned char>(bytes + offset, bytes + offset + size), addresses[i]});
    offset += size;
  }
  if (sent_length != nullptr) *sent_length = offset;
  return TRUE;
}

}  // namespace

STUB_EXPORT BOOL WinDivertRecv(HANDLE handle, void* packet, UINT length, UINT* received, Address* address) {
  std::unique_lock guard = enter_call(receive_calls);
  UINT count = 0;
  return receive(guard, handle, packet, length, received, address, 1, &count);
}

STUB_EXPORT BOOL WinDivertSend(HANDLE handle, const void* packet, UINT length, UINT* sent_length,
                               const Address* address) {
  std::unique_lock guard = enter_call(send_calls);
  return take_sent(handle, packet, length, sent_length, address, 1);
}

#ifndef WINDIVERT_STUB_SINGLE
STUB_EXPORT BOOL WinDivertRecvEx(HANDLE handle, void* packets, UINT length, UINT* received, UINT64 flags,
                                 Address* addresses, UINT* address_bytes, OVERLAPPED* overlapped) {
  std::unique_lock guard = enter_call(receive_calls);
  const UINT address_room = address_bytes != nullptr ? *address_bytes : ADDRESS_BYTES;
  if (flags != 0 || overlapped != nullptr || address_room < ADDRESS_BYTES || address_room > BATCH_MAX * ADDRESS_BYTES) {
    SetLastError(87);
    return FALSE;
  }
  UINT count = 0;
  if (!receive(guard, handle, packets, length, received, addresses, address_room / ADDRESS_BYTES, &count)) {
    return FALSE;
  }
  if (address_bytes != nullptr) *address_bytes = count * ADDRESS_BYTES;
  return TRUE;
}

STUB_EXPORT BOOL WinDivertSendEx(HANDLE handle, const void* packets, UINT length, UINT* sent_length, UINT64 flags,
                                 const Address* addresses, UINT address_bytes, OVERLAPPED* overlapped) {
  std::unique_lock guard = enter_call(send_calls);
  if (flags != 0 || overlapped != nullptr || address_bytes < ADDRESS_BYTES ||
      address_bytes > BATCH_MAX * ADDRESS_BYTES || address_bytes % ADDRESS_BYTES != 0) {
    SetLastError(87);
    return FALSE;
  }
  return take_sent(handle, packets, length, sent_length, addresses, address_bytes / ADDRESS_BYTES);
}
#endif

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

STUB_EXPORT UINT64 StubReceiveCalls() {
  return locked([] { return receive_calls; });
}

STUB_EXPORT UINT64 StubSendCalls() {
  return locked([] { return send_calls; });
}

STUB_EXPORT UINT64 StubSentCount() {
  return locked([] { return static_cast<UINT64>(sent.size()); });
}

// Forgets what was sent and counted (the benchmark's rounds).
STUB_EXPORT void StubReset() {
  std::lock_guard guard(lock);
  sent.clear();
  receive_calls = 0;
  send_calls = 0;
}

STUB_EXPORT void StubSetKernelCall(BOOL on) {
  std::lock_guard guard(lock);
  kernel_call = on != FALSE;
}

STUB_EXPORT UINT64 StubQueueTime() {
  return locked([] { return queue_time; });
}

STUB_EXPORT int StubCloses() {
  return locked([] { return closes; });
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
