#pragma once
// Facts about the proxy vendor shared by the settings store and the web client.

namespace tovix {

// Root URL of the vendor console used until the user's settings name another one.
inline constexpr const char* TOVIXPROXY_DEFAULT_BASE_URL = "https://console.tovix.example";

}  // namespace tovix
