#include "engine/relay/http_handler.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace tovix {
namespace {

constexpr const char* KIND = "HTTP";
constexpr std::string_view END_OF_HEADER = "\r\n\r\n";

struct StatusLine {
  int code = 0;
  std::string text;  // "407 Proxy Authentication Required"
};

StatusLine parse_status_line(const std::string& header) {
  std::string line = header.substr(0, header.find("\r\n"));
  // "HTTP/1.1 200 Connection established"
  if (line.rfind("HTTP/", 0) != 0) throw ProtocolError("not an HTTP response: '" + line.substr(0, 80) + "'");
  auto space = line.find(' ');
  if (space == std::string::npos || line.size() < space + 4 || !std::isdigit(static_cast<unsigned char>(line[space + 1])) ||
      !std::isdigit(static_cast<unsigned char>(line[space + 2])) ||
      !std::isdigit(static_cast<unsigned char>(line[space + 3]))) {
    throw ProtocolError("malformed status line: '" + line.substr(0, 80) + "'");
  }
  return {std::stoi(line.substr(space + 1, 3)), line.substr(space + 1, 80)};
}

// The CONNECT request and its response header, taken up to and including its blank line and not
// one byte further: whatever follows is already the destination's.
class ConnectDialogue : public ProxyDialogue {
 public:
  ConnectDialogue(const std::string& dst_ip, int dst_port, const std::string& username, const std::string& password)
      : _dst_ip(dst_ip), _target(dst_ip + ":" + std::to_string(dst_port)), _with_credentials(!username.empty()) {
    _output = "CONNECT " + _target + " HTTP/1.1\r\nHost: " + _target + "\r\n";
    if (_with_credentials) {
      _output += "Proxy-Authorization: Basic " + base64_encode(username + ":" + password) + "\r\n";
    }
    _output += "\r\n";
  }

  std::string take_output() override { return std::exchange(_output, {}); }

  std::size_t take_input(std::string_view received) override {
    const std::size_t before = _header.size();
    _header.append(received);
    const std::size_t end = _header.find(END_OF_HEADER, before >= 3 ? before - 3 : 0);
    if (end == std::string::npos) {
      if (_header.size() > HttpHandler::MAX_HEADER_BYTES) throw ProtocolError("response header too long");
      return received.size();
    }
    _header.resize(end + END_OF_HEADER.size());
    _answered(parse_status_line(_header));
    return _header.size() - before;
  }

  [[noreturn]] void input_ended() override {
    throw ProtocolError(_header.empty() ? "proxy closed the connection without answering"
                                        : "proxy closed the connection inside the response header");
  }

  bool done() const override { return _done; }

 private:
  void _answered(const StatusLine& status) {
    if (status.code >= 200 && status.code < 300) {
      _done = true;
      return;
    }
    // tinyproxy, among others, answers 401 rather than 407 to wrong credentials.
    if (status.code == 407 || status.code == 401) {
      throw ProtocolError(!_with_credentials ? "proxy requires authentication (" + status.text + ")"
                                             : "user name or password rejected (" + status.text + ")");
    }
    const std::string text = "CONNECT to " + _target + " refused: " + status.text;
    // Proxies answer a name they cannot resolve with a server error (tinyproxy 500, others 502
    // to 504), the same as a destination they cannot reach.
    if (status.code >= 500 && is_host_name_destination(_dst_ip)) throw NameNotResolvedError(text, true);
    throw DestinationError(text);
  }

  const std::string _dst_ip;
  const std::string _target;
  const bool _with_credentials;
  std::string _output;
  std::string _header;
  bool _done = false;
};

}  // namespace

std::string base64_encode(const std::string& bytes) {
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += {ALPHABET[v >> 18], ALPHABET[(v >> 12) & 63], ALPHABET[(v >> 6) & 63], ALPHABET[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out += {ALPHABET[v >> 18], ALPHABET[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += {ALPHABET[v >> 18], ALPHABET[(v >> 12) & 63], ALPHABET[(v >> 6) & 63], '='};
  }
  return out;
}

std::optional<HandshakePlan> HttpHandler::plan_handshake(const std::string& dst_ip, int dst_port,
                                                         const std::string& proxy_host, int proxy_port,
                                                         const std::string& proxy_username,
                                                         const std::string& proxy_password) {
  if (dst_port <= 0 || dst_port > 65535) {
    throw ProxyError(proxy_failure(KIND, proxy_host, proxy_port, "invalid destination port " + std::to_string(dst_port)));
  }
  if (dst_ip.empty() || dst_ip.find_first_of(" \r\n") != std::string::npos) {
    throw ProxyError(proxy_failure(KIND, proxy_host, proxy_port, "invalid destination address"));
  }
  return HandshakePlan{KIND, _timeouts, false,
                       std::make_unique<ConnectDialogue>(dst_ip, dst_port, proxy_username, proxy_password)};
}

}  // namespace tovix
