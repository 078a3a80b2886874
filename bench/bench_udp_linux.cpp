// Programs' UDP through dante in network namespaces: 10,000 datagrams of 1,200 bytes, paced at
// 20 Mbit/s, echoed by a server in the remote namespace,
// - sent by a chosen program whose datagrams the engine diverts (NFQUEUE, then the engine's
//   SOCKS5 UDP forwarder),
// - against the same echo asked by a SOCKS-aware client: the forwarder used directly, no engine.
// Rounds alternate; the best round of each is compared, since other load on the machine only
// ever slows a round down. Figures: loss, the median round trip of each and what the engine
// adds (target at most 1 ms), and the engine process's CPU time per 1,000 datagrams echoed.
//
// The program plays its own helpers when given a mode:
//   echo ADDRESS PORT                   answers every datagram with itself
//   client ADDRESS PORT                 the paced exchange on a plain UDP socket
//   socks-client ADDRESS PORT PROXY PORT  the paced exchange through the forwarder
// both clients print "received <count> median_us <microseconds>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/udp/socks5_udp_forwarder.h"
#include "tests/support/divert_site_linux.h"
#include "tests/support/udp_fixtures.h"

namespace tovix {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::NetnsPair;
using testing::NetnsProcess;

constexpr int kDatagrams = 10000;
constexpr std::size_t kSize = 1200;
constexpr double kBitsPerSecond = 20e6;
constexpr int kRounds = 3;
constexpr double kTargetAddedMs = 1.0;
constexpr const char* ECHO_ADDRESS = "198.18.0.3";
// Answers later than this after the last datagram count as lost.
constexpr auto kStragglers = std::chrono::seconds(2);

// ---- the paced exchange, shared by both clients

// Send times by sequence number and the round trips of the answers that came back.
class Exchange {
 public:
  Exchange() : _sent(kDatagrams) {}

  // Sends every datagram at its time; `send` gets the payload (sequence number first).
  template <typename Send>
  void run(Send&& send) {
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSize * 8 / kBitsPerSecond));
    std::vector<std::uint8_t> payload(kSize, 0x5A);
    const auto start = Clock::now();
    for (std::uint32_t i = 0; i < kDatagrams; ++i) {
      std::this_thread::sleep_until(start + interval * i);  // pacing, not waiting for anything
      std::memcpy(payload.data(), &i, sizeof i);
      {
        std::lock_guard guard(_lock);
        _sent[i] = Clock::now();
      }
      send(payload);
    }
    std::unique_lock guard(_lock);
    _changed.wait_for(guard, kStragglers, [&] { return _rtts_us.size() == kDatagrams; });
  }

  void answered(const std::uint8_t* data, std::size_t size) {
    const auto now = Clock::now();
    std::uint32_t seq = 0;
    if (size != kSize) return;
    std::memcpy(&seq, data, sizeof seq);
    std::lock_guard guard(_lock);
    if (seq >= _sent.size() || _sent[seq] == Clock::time_point{}) return;
    _rtts_us.push_back(std::chrono::duration<double, std::micro>(now - _sent[seq]).count());
    _sent[seq] = Clock::time_point{};  // a duplicate is not counted twice
    _changed.notify_all();
  }

  void print() {
    std::lock_guard guard(_lock);
    std::vector<double> rtts = _rtts_us;
    std::sort(rtts.begin(), rtts.end());
    std::printf("received %zu median_us %.1f\n", rtts.size(), rtts.empty() ? 0.0 : rtts[rtts.size() / 2]);
  }

 private:
  std::mutex _lock;
  std::condition_variable _changed;
  std::vector<Clock::time_point> _sent;
  std::vector<double> _rtts_us;
};

sockaddr_in ipv4(const char* address, int port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, address, &at.sin_addr) != 1) throw std::runtime_error(std::string("bad address ") + address);
  return at;
}

int echo(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in at = ipv4(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    std::printf("error bind %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("listening\n");
  std::fflush(stdout);
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got > 0)
      sendto(fd, buffer.data(), static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), length);
  }
}

int plain_client(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = ipv4(address, port);
  const int buffer_size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return 1;
  Exchange exchange;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<std::uint8_t> buffer(65536);
    while (!done) {
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
      if (got > 0) exchange.answered(buffer.data(), static_cast<std::size_t>(got));
    }
  });
  exchange.run([&](const std::vector<std::uint8_t>& payload) { send(fd, payload.data(), payload.size(), 0); });
  done = true;
  reader.join();
  close(fd);
  exchange.print();
  return 0;
}

int socks_client(const char* address, int port, const char* proxy, int proxy_port) {
  Exchange exchange;
  Socks5UdpForwarder::Callbacks callbacks;
  callbacks.deliver = [&](const IpEndpoint&, const IpEndpoint&, std::span<const std::uint8_t> payload) {
    exchange.answered(payload.data(), payload.size());
  };
  Socks5UdpForwarder forwarder({proxy, proxy_port, "", ""}, callbacks);
  const IpEndpoint program{*IpAddress::parse("10.0.0.1"), 40000};
  const IpEndpoint destination{*IpAddress::parse(address), static_cast<std::uint16_t>(port)};
  exchange.run([&](const std::vector<std::uint8_t>& payload) { forwarder.send(program, destination, payload); });
  forwarder.stop();
  exchange.print();
  return 0;
}

// ---- the run

struct Round {
  int received = 0;
  double median_ms = 0;
  double engine_cpu_seconds = 0;
};

Round parse_round(const CommandResult& result) {
  Round round;
  double median_us = 0;
  if (std::sscanf(result.standard_output.c_str(), "received %d median_us %lf", &round.received, &median_us) != 2)
    throw std::runtime_error("client failed: " + result.standard_output + result.standard_error);
  round.median_ms = median_us / 1000;
  return round;
}

// User and system time of a process so far.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  // The fields after the command name, which may hold spaces, start after its ')'.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) user = std::stoull(field);
    if (index == 15) {
      system = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

const Round& best(const std::vector<Round>& rounds) {
  return *std::min_element(rounds.begin(), rounds.end(),
                           [](const Round& a, const Round& b) { return a.median_ms < b.median_ms; });
}

int run() {
  if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) {
    std::printf("skipped: %s\n", reason.c_str());
    return 0;
  }
  if (const std::string reason = testing::udp_components_unavailable(); !reason.empty()) {
    std::printf("skipped: %s\n", reason.c_str());
    return 0;
  }
  testing::DivertSite site(1024);
  const fs::path dir = site.dir().path();
  site.pair().add_remote_address(ECHO_ADDRESS);
  // This program under the chosen name and under another.
  const fs::path self = fs::read_symlink("/proc/self/exe");
  fs::create_directories(dir / "udp-chosen");
  fs::create_directories(dir / "udp-other");
  const fs::path chosen = dir / "udp-chosen" / (std::string(testing::DivertSite::CHOSEN_NAME) + ".exe");
  const fs::path other = dir / "udp-other" / "socks_client.exe";
  fs::copy_file(self, chosen);
  fs::copy_file(self, other);

  const int echo_port = testing::free_port_in(site.remote());
  NetnsProcess echo_server(site.remote(), {self.string(), "echo", ECHO_ADDRESS, std::to_string(echo_port)},
                           dir / "echo.log");
  if (!echo_server.wait_for_output("listening", std::chrono::seconds(20)))
    throw std::runtime_error("echo: " + echo_server.output());
  const int dante_port = testing::free_port_in(site.remote());
  const auto dante = testing::start_dante_in(site.remote(), NetnsPair::REMOTE_IP, dante_port, dir, site.client());
  NetnsProcess placeholder(site.client(), {site.chosen_placeholder().string(), "3600"}, dir / "placeholder.log");

  nlohmann::ordered_json settings = site.settings("socks5", {testing::DivertSite::CHOSEN_NAME});
  settings["proxy_list"][0] = {{"type", "socks5"}, {"host", NetnsPair::REMOTE_IP}, {"port", dante_port}};
  testing::write_text(dir / "settings.json", settings.dump(4));

  const auto timeout = std::chrono::minutes(2);
  std::vector<Round> direct, diverted;
  for (int round = 0; round < kRounds; ++round) {
    direct.push_back(
        parse_round(NetnsPair::run(site.client(),
                                   {other.string(), "socks-client", ECHO_ADDRESS, std::to_string(echo_port),
                                    NetnsPair::REMOTE_IP, std::to_string(dante_port)},
                                   timeout)));
    NetnsProcess engine(site.client(), {ENGINE_DRIVER, (dir / "settings.json").string()},
                        dir / ("engine-" + std::to_string(round) + ".log"));
    if (!engine.wait_for_output("status: 代理已启", std::chrono::seconds(30)))
      throw std::runtime_error("the engine did not start: " + engine.output());
    const double cpu_before = cpu_seconds(engine.pid());
    Round measured = parse_round(
        NetnsPair::run(site.client(), {chosen.string(), "client", ECHO_ADDRESS, std::to_string(echo_port)}, timeout));
    measured.engine_cpu_seconds = cpu_seconds(engine.pid()) - cpu_before;
    diverted.push_back(measured);
    engine.stop(SIGTERM);
  }

  const Round& through_engine = best(diverted);
  const Round& forwarder_alone = best(direct);
  const double added = through_engine.median_ms - forwarder_alone.median_ms;
  std::printf("%d datagrams of %zu bytes at %.0f Mbit/s echoed through dante, best of %d rounds\n", kDatagrams, kSize,
              kBitsPerSecond / 1e6, kRounds);
  std::printf("chosen program through the engine   loss %5d  median round trip %7.3f ms\n",
              kDatagrams - through_engine.received, through_engine.median_ms);
  std::printf("SOCKS-aware client (forwarder)      loss %5d  median round trip %7.3f ms\n",
              kDatagrams - forwarder_alone.received, forwarder_alone.median_ms);
  std::printf("round trip added by the engine      %7.3f ms  ratio %.2f of the target (target <= %.1f ms)%s\n", added,
              added / kTargetAddedMs, kTargetAddedMs, added <= kTargetAddedMs ? "" : "  MISSED");
  std::printf("loss through the engine             %d (target 0)%s\n", kDatagrams - through_engine.received,
              through_engine.received == kDatagrams ? "" : "  MISSED");
  // Each datagram is diverted out and its answer injected back.
  std::printf("engine CPU time                     %7.1f ms per 1,000 datagrams echoed\n",
              through_engine.engine_cpu_seconds * 1000 / (kDatagrams / 1000.0));
  return 0;
}

}  // namespace
}  // namespace tovix

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "echo" && argc == 4) return tovix::echo(argv[2], std::atoi(argv[3]));
    if (mode == "client" && argc == 4) return tovix::plain_client(argv[2], std::atoi(argv[3]));
    if (mode == "socks-client" && argc == 6)
      return tovix::socks_client(argv[2], std::atoi(argv[3]), argv[4], std::atoi(argv[5]));
    if (argc == 1) return tovix::run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_udp_linux: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: bench_udp_linux [echo ADDRESS PORT | client ADDRESS PORT | socks-client ...]\n");
  return 2;
}
