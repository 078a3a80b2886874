#include "engine/divert/divert_error.h"

namespace tovix {

DivertOsError::DivertOsError(std::uint32_t code, const std::string& message)
    : std::runtime_error("[WinError " + std::to_string(code) + "] " + message), _code(code), _message(message) {}

DivertOsError library_not_loaded_error(std::uint32_t code, const std::string& detail) {
  return DivertOsError(code, "WinDivert library NotLoaded: " + detail);
}

DivertOsError handle_not_open_error() {
  return DivertOsError(DIVERT_ERROR_INVALID_HANDLE, "the diversion handle is not open");
}

}  // namespace tovix
