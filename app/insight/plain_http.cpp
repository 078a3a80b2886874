#include "app/insight/plain_http.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace tovix::insight {

HttpUrl split_http_url(const std::string& url) {
  constexpr std::string_view SCHEME = "http://";
  if (url.size() <= SCHEME.size() || !std::equal(SCHEME.begin(), SCHEME.end(), url.begin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
      })) {
    throw std::invalid_argument("not a plain-HTTP address: " + url);
  }
  const std::string rest = url.substr(SCHEME.size());
  const std::size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  HttpUrl result;
  if (slash != std::string::npos) result.path = rest.substr(slash);
  const std::size_t colon = authority.rfind(':');
  result.host = authority.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit)) {
      throw std::invalid_argument("bad port in " + url);
    }
    result.port = std::stoi(port);
  }
  if (result.host.empty() || result.port <= 0 || result.port > 65535 ||
      result.host.find_first_of(" \r\n@") != std::string::npos) {
    throw std::invalid_argument("bad host in " + url);
  }
  return result;
}

HttpAnswer http_get(Socket& connection, const HttpUrl& url, std::chrono::steady_clock::time_point deadline) {
  const std::string host = url.port == 80 ? url.host : url.host + ":" + std::to_string(url.port);
  // A curl-like agent: some of these services answer browsers with a whole web page.
  const std::string request = "GET " + url.path + " HTTP/1.0\r\nHost: " + host +
                              "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  connection.send_all(request.data(), request.size());

  std::string answer;
  char chunk[4096];
  for (;;) {
    wait_readable_until(connection, deadline);
    const std::size_t received = connection.receive(chunk, sizeof chunk);
    if (received == 0) break;
    answer.append(chunk, received);
    if (answer.size() > MAX_ANSWER_BYTES) throw std::runtime_error("answer too large");
  }
  const std::size_t header_end = answer.find("\r\n\r\n");
  // "HTTP/1.x 200 ..."
  if (answer.rfind("HTTP/", 0) != 0 || header_end == std::string::npos) throw std::runtime_error("not an HTTP answer");
  const std::size_t space = answer.find(' ');
  if (space == std::string::npos || space + 4 > header_end ||
      !std::all_of(answer.begin() + space + 1, answer.begin() + space + 4, ::isdigit)) {
    throw std::runtime_error("malformed HTTP status line");
  }
  return {std::stoi(answer.substr(space + 1, 3)), answer.substr(header_end + 4)};
}

}  // namespace tovix::insight
