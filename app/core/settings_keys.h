#pragma once
// Settings the shell keeps in config.json beside the store's own keys.

namespace tovix::app {

// Type ("socks5" or "http") of the proxies the API extraction link gives.
inline constexpr const char* API_PROXY_TYPE_KEY = "api_proxy_type";

// Whether closing the window leaves the program running in the system tray (true) or quits it
// (false); absent until the user has been asked, at the first close.
inline constexpr const char* CLOSE_TO_TRAY_KEY = "close_to_tray";

}  // namespace tovix::app
