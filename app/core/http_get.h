#pragma once
// One plain HTTP(S) GET through libcurl, for the API extraction link. Blocks the calling thread
// for at most the time-out; never uses a proxy (the engine may be diverting this very machine).
#include <chrono>
#include <string>

namespace tovix::app {

// An answer larger than this is cut off and reported as a failure instead of filling memory.
inline constexpr std::size_t HTTP_GET_MAX_BYTES = 4u * 1024u * 1024u;

struct HttpGetResult {
  bool ok = false;  // an answer with status 200 arrived
  long status = 0;  // 0 when no answer arrived
  std::string body;
  std::string error;  // why ok is false, for the user
};

HttpGetResult http_get(const std::string& url, std::chrono::milliseconds timeout);

}  // namespace tovix::app
