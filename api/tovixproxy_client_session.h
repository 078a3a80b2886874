#pragma once
// The transport under ToVixProxyClient: one libcurl easy handle, so that one client object reuses
// its connection and keeps its cookies across requests. Internal to the module.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/tovixproxy_client.h"

namespace tovix::detail {

// A body larger than this is refused instead of filling the memory.
inline constexpr std::size_t MAX_RESPONSE_BYTES = 32u * 1024u * 1024u;

enum class TransportFailure { timeout, connect, other };

// The request did not complete; what() is the library's own description.
class TransportError : public std::runtime_error {
 public:
  TransportError(TransportFailure kind, const std::string& text) : std::runtime_error(text), _kind(kind) {}
  TransportFailure kind() const { return _kind; }

 private:
  TransportFailure _kind;
};

struct HttpResponse {
  long status = 0;
  std::string body;
};

class HttpSession {
 public:
  explicit HttpSession(ClientTimeouts timeouts);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // `body` absent sends a GET, present a POST (possibly empty). `headers` are "Name: value" lines.
  HttpResponse perform(const std::string& url, const std::vector<std::string>& headers,
                       const std::optional<std::string>& body);

 private:
  struct Handle;
  std::unique_ptr<Handle> _handle;
};

// The user-facing text of a request failure for a transport error.
std::string request_failure_text(const TransportError& error);
// "服务器返回 <status>: <msg>" for an answer whose status is not 200; msg is the body's "message"
// (when `consult_message`) or "msg", else the start of the body.
std::string refusal_text(const HttpResponse& response, bool consult_message);

}  // namespace tovix::detail
