#include "engine/relay/http_handler.h"

#include <algorithm>
#include <cctype>

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

std::shared_ptr<Socket> HttpHandler::handle_connection(const std::string& dst_ip, int dst_port,
                                                       const std::string& proxy_host, int proxy_port,
                                                       const std::string& proxy_username,
                                                       const std::string& proxy_password) {
  if (dst_port <= 0 || dst_port > 65535) {
    throw ProxyError(proxy_failure(KIND, proxy_host, proxy_port, "invalid destination port " + std::to_string(dst_port)));
  }
  if (dst_ip.empty() || dst_ip.find_first_of(" \r\n") != std::string::npos) {
    throw ProxyError(proxy_failure(KIND, proxy_host, proxy_port, "invalid destination address"));
  }
  const std::string target = dst_ip + ":" + std::to_string(dst_port);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (!proxy_username.empty()) {
    request += "Proxy-Authorization: Basic " + base64_encode(proxy_username + ":" + proxy_password) + "\r\n";
  }
  request += "\r\n";

  auto proxy = open_proxy_connection(KIND, proxy_host, proxy_port, _timeouts);
  const auto deadline = std::chrono::steady_clock::now() + _timeouts.handshake;
  during_handshake(KIND, proxy_host, proxy_port, [&] {
    proxy->send_all(request.data(), request.size());
    const StatusLine status = parse_status_line(_read_header(*proxy, deadline));
    if (status.code >= 200 && status.code < 300) return;
    // tinyproxy, among others, answers 401 rather than 407 to wrong credentials.
    if (status.code == 407 || status.code == 401) {
      throw ProtocolError(proxy_username.empty() ? "proxy requires authentication (" + status.text + ")"
                                                 : "user name or password rejected (" + status.text + ")");
    }
    const std::string text = "CONNECT to " + target + " refused: " + status.text;
    // Proxies answer a name they cannot resolve with a server error (tinyproxy 500, others 502
    // to 504), the same as a destination they cannot reach.
    if (status.code >= 500 && is_host_name_destination(dst_ip)) throw NameNotResolvedError(text, true);
    throw DestinationError(text);
  });
  return proxy;
}

std::string HttpHandler::_read_header(Socket& proxy, std::chrono::steady_clock::time_point deadline) {
  std::string header;
  char chunk[4096];
  for (;;) {
    wait_readable_until(proxy, deadline);
    // Peek first, then take only what belongs to the header: whatever follows the blank line
    // is already the destination's data and stays queued for the tunnel.
    std::size_t seen = proxy.peek(chunk, sizeof chunk);
    if (seen == 0) {
      throw ProtocolError(header.empty() ? "proxy closed the connection without answering"
                                         : "proxy closed the connection inside the response header");
    }
    const std::size_t before = header.size();
    header.append(chunk, seen);
    const std::size_t from = before >= 3 ? before - 3 : 0;
    const std::size_t end = header.find(END_OF_HEADER, from);
    std::size_t take = seen;
    if (end != std::string::npos) {
      take = end + END_OF_HEADER.size() - before;
      header.resize(before + take);
    }
    receive_exact(proxy, chunk, take, deadline);
    if (end != std::string::npos) return header;
    if (header.size() > MAX_HEADER_BYTES) throw ProtocolError("response header too long");
  }
}

}  // namespace tovix
