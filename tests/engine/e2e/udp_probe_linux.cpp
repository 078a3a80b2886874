// A small UDP program for the end-to-end tests, copied under a chosen and an unchosen name:
//   udp_probe send ADDRESS PORT   one datagram on a connected socket; prints "refused <ms>",
//                                 "answer <text>" or "silent" (nothing within 3 s)
//   udp_probe resolve NAME        getaddrinfo (IPv4); prints the address or "error <text>"
//   udp_probe echo ADDRESS PORT   answers every datagram with "echo <sender address>"
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int send_one(const char* address, int port) {
  sockaddr_storage to{};
  socklen_t length = 0;
  if (std::strchr(address, ':') != nullptr) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(to);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET6, address, &v6.sin6_addr);
    length = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(to);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &v4.sin_addr);
    length = sizeof v4;
  }
  const int fd = socket(to.ss_family, SOCK_DGRAM, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), length) != 0) {
    std::printf("error connect %s\n", std::strerror(errno));
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  if (send(fd, "ping", 4, 0) < 0) {
    std::printf("error send %s\n", std::strerror(errno));
    return 1;
  }
  pollfd wait{fd, POLLIN, 0};
  if (poll(&wait, 1, 3000) <= 0) {
    std::printf("silent\n");
    return 0;
  }
  char buffer[512];
  const ssize_t got = recv(fd, buffer, sizeof buffer - 1, 0);
  const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (got < 0 && errno == ECONNREFUSED) {
    std::printf("refused %.3f\n", ms);
  } else if (got < 0) {
    std::printf("error recv %s\n", std::strerror(errno));
  } else {
    buffer[got] = 0;
    std::printf("answer %s\n", buffer);
  }
  return 0;
}

int resolve(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(name, nullptr, &hints, &found);
  if (result != 0) {
    std::printf("error %s\n", gai_strerror(result));
    return 0;
  }
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  std::printf("%s\n", text);
  freeaddrinfo(found);
  return 0;
}

int echo(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address, &at.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::printf("error bind %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("listening\n");
  std::fflush(stdout);
  for (;;) {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) < 0) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    const std::string answer = std::string("echo ") + text;
    sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "send" && argc == 4) return send_one(argv[2], std::atoi(argv[3]));
  if (mode == "resolve" && argc == 3) return resolve(argv[2]);
  if (mode == "echo" && argc == 4) return echo(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: udp_probe send ADDRESS PORT | resolve NAME | echo ADDRESS PORT\n");
  return 2;
}
