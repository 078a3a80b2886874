#include "tests/support/http_destination.h"

#include <algorithm>
#include <cctype>

namespace tovix::testing {
namespace {

constexpr std::size_t kMaxHeader = 64 * 1024;
constexpr std::size_t kChunk = 256 * 1024;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The value of one header in a lower-cased header block, or empty.
std::string header_value(const std::string& headers, const std::string& name) {
  const std::size_t at = headers.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  const std::size_t start = headers.find_first_not_of(' ', at + name.size() + 3);
  return headers.substr(start, headers.find("\r\n", start) - start);
}

void send_text(Socket& connection, const std::string& text) { connection.send_all(text.data(), text.size()); }

void send_body(Socket& connection, const std::string& body) {
  for (std::size_t at = 0; at < body.size(); at += kChunk) {
    connection.send_all(body.data() + at, std::min(kChunk, body.size() - at));
  }
}

}  // namespace

HttpDestination::HttpDestination(const std::string& bind_ip, std::shared_ptr<const std::string> body)
    : _body(std::move(body)) {
  _server = std::make_unique<LoopbackServer>([this](Socket& connection) { _serve(connection); }, bind_ip);
}

std::vector<std::string> HttpDestination::peers() const {
  std::lock_guard guard(_lock);
  return _peers;
}

std::string HttpDestination::last_upload() const {
  std::lock_guard guard(_lock);
  return _upload;
}

void HttpDestination::_serve(Socket& connection) {
  {
    std::lock_guard guard(_lock);
    _peers.push_back(connection.peer_address().first);
  }
  std::string request;
  std::size_t header_end = std::string::npos;
  while ((header_end = request.find("\r\n\r\n")) == std::string::npos) {
    std::string more = receive_some(connection);
    if (more.empty() || request.size() > kMaxHeader) return;
    request += more;
  }
  const std::string head = lower(request.substr(0, header_end + 2));
  std::string body = request.substr(header_end + 4);
  const std::string target = head.substr(0, head.find("\r\n"));

  if (target.starts_with("post /upload")) {
    // Built with += : GCC 12 warns falsely (-Wrestrict) about "0" + std::string at -O3.
    std::string length_text = "0";
    length_text += header_value(head, "content-length");
    const std::size_t length = std::stoull(length_text);
    if (header_value(head, "expect") == "100-continue") send_text(connection, "HTTP/1.1 100 Continue\r\n\r\n");
    if (body.size() < length) body += receive_up_to(connection, length - body.size());
    {
      std::lock_guard guard(_lock);
      _upload = body;
    }
    const std::string answer = std::to_string(body.size());
    send_text(connection, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                              "\r\nConnection: close\r\n\r\n" + answer);
  } else if (target.starts_with("get /data?close")) {
    send_text(connection, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
    send_body(connection, *_body);
  } else if (target.starts_with("get /data")) {
    send_text(connection,
              "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(_body->size()) + "\r\nConnection: close\r\n\r\n");
    send_body(connection, *_body);
  } else {
    send_text(connection, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  }
  // The server closes the connection when the handler returns, which ends a close-delimited body.
}

}  // namespace tovix::testing
