#pragma once
// Tests that drive the WinDivert backend against the stand-in library built beside them (see
// windivert_stub_win.cpp): the library stays loaded for the whole test, so its recorded state
// lives as long as the test, and its Stub* entry points push packets in and read what was sent.
// stub_library() offers batched I/O; single_stub_library() moves one packet per call.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "common/paths.h"
#include "engine/divert/windivert_abi_win.h"

namespace tovix::testing {

inline std::filesystem::path stub_library() { return executable_dir() / "windivert_stub" / "WinDivert64.dll"; }
inline std::filesystem::path single_stub_library() {
  return executable_dir() / "windivert_stub_single" / "WinDivert64.dll";
}

class WinDivertStubFixture : public ::testing::Test {
 protected:
  explicit WinDivertStubFixture(const std::filesystem::path& library = stub_library())
      : _module(LoadLibraryW(library.c_str())) {}
  ~WinDivertStubFixture() override {
    if (_module != nullptr) FreeLibrary(_module);
  }
  void SetUp() override { ASSERT_NE(_module, nullptr) << "stand-in library missing: " << stub_library(); }

  template <typename Fn>
  Fn stub(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(_module, name)));
  }
  void push(const std::vector<std::uint8_t>& bytes, const windivert::Address& address) {
    stub<void (*)(const void*, UINT, const windivert::Address*)>("StubPush")(bytes.data(),
                                                                             static_cast<UINT>(bytes.size()), &address);
  }
  std::vector<std::uint8_t> sent(UINT index, windivert::Address& address) {
    std::vector<std::uint8_t> bytes(windivert::MTU_MAX);
    const UINT length = stub<UINT (*)(UINT, void*, UINT, windivert::Address*)>("StubSent")(
        index, bytes.data(), static_cast<UINT>(bytes.size()), &address);
    bytes.resize(length);
    return bytes;
  }
  int closes() { return stub<int (*)()>("StubCloses")(); }
  UINT64 receive_calls() { return stub<UINT64 (*)()>("StubReceiveCalls")(); }
  UINT64 send_calls() { return stub<UINT64 (*)()>("StubSendCalls")(); }
  UINT64 sent_count() { return stub<UINT64 (*)()>("StubSentCount")(); }

 private:
  HMODULE _module;
};

}  // namespace tovix::testing
