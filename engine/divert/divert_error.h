#pragma once
// The operating-system error of a diversion call (open, receive, send, ...). Its text reads
// "[WinError <code>] <system message>", so whoever shows it can tell a missing driver (87,
// 577, "NotLoaded") from missing administrator rights (5, "拒绝访问").
#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/divert/packet_divert_export.h"

namespace tovix {

// Windows system error codes the diversion layer reports or that callers test for.
inline constexpr std::uint32_t DIVERT_ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t DIVERT_ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t DIVERT_ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t DIVERT_ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t DIVERT_ERROR_MOD_NOT_FOUND = 126;
inline constexpr std::uint32_t DIVERT_ERROR_BUSY = 170;
inline constexpr std::uint32_t DIVERT_ERROR_PROC_NOT_FOUND = 127;
inline constexpr std::uint32_t DIVERT_ERROR_NO_DATA = 232;
inline constexpr std::uint32_t DIVERT_ERROR_INVALID_IMAGE_HASH = 577;

class PACKET_DIVERT_EXPORT DivertOsError : public std::runtime_error {
 public:
  DivertOsError(std::uint32_t code, const std::string& message);
  std::uint32_t code() const noexcept { return _code; }
  // The system message alone, without the code.
  const std::string& message() const noexcept { return _message; }

 private:
  std::uint32_t _code;
  std::string _message;
};

// The driver library could not be loaded or lacks a function; `detail` names what was tried.
// The text contains "NotLoaded" as well as the code.
PACKET_DIVERT_EXPORT DivertOsError library_not_loaded_error(std::uint32_t code, const std::string& detail);

// A call that needs an open handle was made without one.
PACKET_DIVERT_EXPORT DivertOsError handle_not_open_error();

}  // namespace tovix
