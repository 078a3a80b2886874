#pragma once
// Settings the shell keeps in config.json beside the store's own keys.

namespace tovix::app {

// Type ("socks5" or "http") of the proxies the API extraction link gives.
inline constexpr const char* API_PROXY_TYPE_KEY = "api_proxy_type";

}  // namespace tovix::app
