#pragma once
// One plain-HTTP GET over a socket that is already connected (a tunnel through a proxy), for
// the small text answers of what-is-my-IP services. HTTP/1.0, so the answer is never chunked
// and ends with the connection.
#include <chrono>
#include <cstddef>
#include <string>

#include "app/insight/insight_core_export.h"
#include "common/socket.h"

namespace tovix::insight {

struct HttpUrl {
  std::string host;
  int port = 80;
  std::string path = "/";
};

// "http://host[:port][/path]"; throws std::invalid_argument for anything else.
INSIGHT_CORE_EXPORT HttpUrl split_http_url(const std::string& url);

struct HttpAnswer {
  int status = 0;
  std::string body;
};

// Answers larger than this are not what-is-my-IP answers.
inline constexpr std::size_t MAX_ANSWER_BYTES = 64 * 1024;

// Throws SocketError (SocketTimeout when `deadline` passes) or std::runtime_error for an answer
// that is not HTTP or too large.
INSIGHT_CORE_EXPORT HttpAnswer http_get(Socket& connection, const HttpUrl& url,
                                        std::chrono::steady_clock::time_point deadline);

}  // namespace tovix::insight
