// The Linux diversion path end to end in network namespaces, each figure against its baseline
// measured side by side in the same run (rounds alternate; the best round of each is compared,
// since other load on the machine only ever slows a round down):
// - one bulk download through the whole path (client → NFQUEUE → relay → microsocks →
//   destination) against the same download through microsocks with curl's own SOCKS5 support,
//   and the same through tinyproxy against curl's own tunnel through it;
// - a bulk download of a program that is not chosen, with the engine running against without,
//   and against without but with connection tracking on (as a stateful firewall has it);
// - the queue reader's packets per second during each of those downloads;
// - the fast-proxy case: dante in front of a plain sender, where the proxy outruns the client,
//   so the client's own cost shows: the diverted download against curl's own SOCKS5 through the
//   same dante, and the CPU time this process (engine and relays) spends per MiB carried, on
//   the kernel path and on the user-space path (where the engine rewrites every packet, as on
//   Windows) from the same rounds.
// `bench_divert_linux fast-proxy` runs the fast-proxy case alone, `bench_divert_linux not-chosen`
// the downloads of a program the engine does not carry.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "engine/core/tunnel_engine.h"
#include "engine/divert/nfqueue_diverter_linux.h"
#include "tests/support/divert_site_linux.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using testing::DivertSite;
using testing::NetnsPair;
using testing::NetnsProcess;
using testing::NetnsScope;

constexpr std::size_t kBody = 256u << 20;
constexpr int kRounds = 5;
// Direct downloads take a fraction of a second, where a moment's other load weighs most.
constexpr int kFastRepeats = 3;

struct Download {
  double bytes_per_second = 0;
  double seconds = 0;
  double connect_seconds = 0;  // until the TCP connection was up
};

Download download(const DivertSite& site, const std::filesystem::path& curl, std::vector<std::string> options,
                  const std::string& url = {}) {
  std::vector<std::string> argv{curl.string(), "-sS", "-o",
                                "/dev/null",   "-w",  "%{speed_download} %{time_total} %{time_connect}"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url.empty() ? site.url("/data") : url);
  const CommandResult result = NetnsPair::run(site.client(), argv, std::chrono::minutes(5));
  Download out;
  if (result.exit_code != 0 || std::sscanf(result.standard_output.c_str(), "%lf %lf %lf", &out.bytes_per_second,
                                           &out.seconds, &out.connect_seconds) != 3) {
    throw std::runtime_error("download failed: " + result.standard_error);
  }
  return out;
}

// The engine in this process, inside the client namespace, with the real NFQUEUE backend on the
// given data path; it keeps the run's diverter visible so its packet count can be read while the
// run lasts.
class Engine {
 public:
  explicit Engine(NfqueueDiverter::DataPath path = NfqueueDiverter::DataPath::kernel) {
    EngineOptions options;
    options.diverter_factory = [this, path]() -> std::unique_ptr<PacketDiverter> {
      auto diverter = std::make_unique<NfqueueDiverter>(NfqueueDiverter::DEFAULT_QUEUE_NUMBER, path);
      _diverter = diverter.get();
      return diverter;
    };
    _engine = std::make_unique<TunnelEngine>(options);
    _engine->set_status_callback([this](const std::string& text) {
      std::lock_guard guard(_lock);
      if (text.rfind(STATUS_STARTED_PREFIX, 0) == 0) _started = true;
      _changed.notify_all();
    });
    _engine->set_error_callback(
        [](const std::string& text) { std::fprintf(stderr, "engine error: %s\n", text.c_str()); });
  }
  ~Engine() { stop(); }

  void start(const std::string& ns, const nlohmann::ordered_json& settings) {
    {
      std::lock_guard guard(_lock);
      _started = false;
    }
    {
      NetnsScope inside(ns);  // the engine's threads, sockets and rules live there
      _engine->start_engine(settings);
    }
    std::unique_lock lock(_lock);
    if (!_changed.wait_for(lock, std::chrono::seconds(30), [&] { return _started; }))
      throw std::runtime_error("the engine did not start");
  }
  void stop() {
    _engine->stop_engine();
    _engine->wait_for_previous_run(std::chrono::seconds(30));
    _diverter = nullptr;
  }
  std::uint64_t packets() const {
    const NfqueueDiverter* diverter = _diverter.load();
    return diverter != nullptr ? diverter->packets_received() : 0;
  }

 private:
  std::unique_ptr<TunnelEngine> _engine;
  std::atomic<NfqueueDiverter*> _diverter{nullptr};
  std::mutex _lock;
  std::condition_variable _changed;
  bool _started = false;
};

struct Figures {
  std::vector<double> rates;
  std::vector<double> packet_rates;
  std::vector<double> bytes_per_packet;
  std::vector<double> connect_seconds;
  void add(const Download& d, std::uint64_t packets) {
    rates.push_back(d.bytes_per_second);
    connect_seconds.push_back(d.connect_seconds);
    if (packets > 0) {
      packet_rates.push_back(static_cast<double>(packets) / d.seconds);
      bytes_per_packet.push_back(static_cast<double>(kBody) / static_cast<double>(packets));
    }
  }
};

double mib(double bytes) { return bytes / (1 << 20); }

double best(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A target of 0 prints the ratio alone.
void print_ratio(const char* what, const Figures& measured, const char* baseline_name, const Figures& baseline,
                 double target) {
  const double ratio = best(measured.rates) / best(baseline.rates);
  const std::string goal =
      target > 0 ? fmt::format(" (target >= {:.2f}){}", target, ratio >= target ? "" : "  MISSED") : std::string();
  std::printf("%-40s %8.1f MiB/s  vs %-18s %8.1f MiB/s  ratio %.2f%s\n", what, mib(best(measured.rates)), baseline_name,
              mib(best(baseline.rates)), ratio, goal.c_str());
}

// Runs `body` with the engine running and returns the download and the packets it queued.
template <typename Body>
void measured(Engine& engine, Figures& figures, Body&& body) {
  const std::uint64_t before = engine.packets();
  const Download d = body();
  figures.add(d, engine.packets() - before);
}

// CPU seconds (user and system) this process has spent so far, from /proc/self/stat.
double own_cpu_seconds() {
  std::ifstream in("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces; the fields after it are plain numbers.
  std::size_t at = text.rfind(')');
  if (at == std::string::npos) throw std::runtime_error("cannot read /proc/self/stat");
  unsigned long long utime = 0, stime = 0;
  // Field 3 (state) follows ")"; utime and stime are fields 14 and 15.
  const char* fields = text.c_str() + at + 2;
  if (std::sscanf(fields, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    throw std::runtime_error("cannot parse /proc/self/stat");
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A plain HTTP sender for the fast-proxy case, run as its own process (so its CPU is not the
// client's): every request on `port` is answered with `size` bytes from one buffer.
int serve(int port, std::size_t size) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(listener, 16) < 0) {
    std::perror("sender");
    return 1;
  }
  std::vector<char> chunk(1 << 20, 'x');
  for (;;) {
    const int peer = accept(listener, nullptr, nullptr);
    if (peer < 0) continue;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = recv(peer, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string header =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\nConnection: close\r\n\r\n";
    bool ok = send(peer, header.data(), header.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(header.size());
    for (std::size_t left = size; ok && left > 0;) {
      const ssize_t sent = send(peer, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
      ok = sent > 0;
      if (ok) left -= static_cast<std::size_t>(sent);
    }
    close(peer);
  }
}

// dante (no sign-in) and the plain sender in the remote namespace, both on its address.
class FastProxySite {
 public:
  FastProxySite(const DivertSite& site, const char* self) {
    const auto dir = site.dir().path();
    _sender_port = testing::free_port_in(site.remote());
    _sender = std::make_unique<NetnsProcess>(
        site.remote(), std::vector<std::string>{self, "--serve", std::to_string(_sender_port)}, dir / "sender.log");
    _dante_port = testing::free_port_in(site.remote());
    testing::write_text(dir / "dante-fast.conf",
                        "logoutput: " + (dir / "dante-fast.log").string() + "\ninternal: " + NetnsPair::REMOTE_IP +
                            " port = " + std::to_string(_dante_port) + "\nexternal: " + NetnsPair::REMOTE_IP +
                            "\nsocksmethod: none\nclientmethod: none\nuser.privileged: root\n"
                            "user.unprivileged: nobody\nclient pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"
                            "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: connect\n  log: error }\n");
    _dante =
        std::make_unique<NetnsProcess>(site.remote(),
                                       std::vector<std::string>{"danted", "-f", (dir / "dante-fast.conf").string(),
                                                                "-p", (dir / "dante-fast.pid").string(), "-N", "1"},
                                       dir / "dante-fast.out");
    testing::wait_until_accepting_in(site.client(), NetnsPair::REMOTE_IP, _sender_port);
    testing::wait_until_accepting_in(site.client(), NetnsPair::REMOTE_IP, _dante_port);
  }
  std::string url() const {
    return "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_sender_port) + "/data";
  }
  std::string socks() const { return std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_dante_port); }
  nlohmann::ordered_json settings() const {
    return {{"proxy_list", nlohmann::ordered_json::array(
                               {{{"type", "socks5"}, {"host", NetnsPair::REMOTE_IP}, {"port", _dante_port}}})},
            {"process_list", nlohmann::ordered_json::array()}};
  }

 private:
  int _sender_port = 0, _dante_port = 0;
  std::unique_ptr<NetnsProcess> _sender, _dante;
};

// Client CPU per MiB on the fast-proxy case before the data path was made cheap (measured at
// db866e1, where every packet went through the queue and was rewritten with full checksums).
constexpr double kCpuPerMibBefore = 1.48;

struct PathFigures {
  Figures rates;
  std::vector<double> cpu_per_mib;
  std::vector<double> packets;
};

// One diverted download through dante with `engine` started for it.
void divert_through(const DivertSite& site, Engine& engine, const FastProxySite& fast, PathFigures& figures) {
  engine.start(site.client(), fast.settings());
  const double cpu_before = own_cpu_seconds();
  const std::uint64_t packets_before = engine.packets();
  measured(engine, figures.rates, [&] { return download(site, site.other_curl(), {}, fast.url()); });
  figures.packets.push_back(static_cast<double>(engine.packets() - packets_before));
  figures.cpu_per_mib.push_back((own_cpu_seconds() - cpu_before) * 1000.0 / static_cast<double>(kBody >> 20));
  engine.stop();
}

void print_cpu(const char* what, const PathFigures& figures, double target) {
  const double cpu = *std::min_element(figures.cpu_per_mib.begin(), figures.cpu_per_mib.end());
  std::printf("%-40s %8.2f ms/MiB (best; median %.2f) vs %.2f before, ratio %.2f (target <= %.2f ms/MiB)%s\n", what,
              cpu, median(figures.cpu_per_mib), kCpuPerMibBefore, cpu / kCpuPerMibBefore, target,
              cpu <= target ? "" : "  MISSED");
}

// curl through dante by itself, and the same curl diverted by the engine through that dante, on
// the kernel path and on the user-space path in turn.
void fast_proxy_case(const DivertSite& site, Engine& kernel, Engine& user_space, const char* self) {
  FastProxySite fast(site, self);
  Figures own;
  PathFigures kernel_path, user_space_path;
  for (int round = 0; round < kRounds; ++round) {
    own.add(download(site, site.other_curl(), {"--socks5", fast.socks()}, fast.url()), 0);
    divert_through(site, kernel, fast, kernel_path);
    divert_through(site, user_space, fast, user_space_path);
  }
  std::printf("fast proxy (dante), %zu MiB, best of %d rounds\n", kBody >> 20, kRounds);
  print_ratio("kernel path through dante", kernel_path.rates, "curl --socks5 dante", own, 0.9);
  print_ratio("user-space path through dante", user_space_path.rates, "curl --socks5 dante", own, 0.0);
  print_cpu("client CPU per MiB, kernel path", kernel_path, 0.5);
  print_cpu("client CPU per MiB, user-space path", user_space_path, kCpuPerMibBefore / 2);
  std::printf(
      "queue reader per diverted download          %9.0f packets (kernel path), %.0f (user-space path), "
      "median\n",
      median(kernel_path.packets), median(user_space_path.packets));
}

}  // namespace
}  // namespace tovix

int main(int argc, char** argv) {
  using namespace tovix;
  if (argc == 3 && std::string(argv[1]) == "--serve") return serve(std::stoi(argv[2]), kBody);
  const std::string only = argc == 2 ? argv[1] : "";
  if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) {
    std::printf("skipped: %s\n", reason.c_str());
    return 0;
  }
  DivertSite site(kBody);
  NetnsProcess placeholder(site.client(), {site.chosen_placeholder().string(), "3600"}, site.dir() / "placeholder.log");
  const std::string socks = std::string(testing::PROXY_USER) + ":" + testing::PROXY_PASSWORD + "@" +
                            NetnsPair::REMOTE_IP + ":" + std::to_string(site.socks_port());
  const std::string http = std::string("http://") + testing::PROXY_USER + ":" + testing::PROXY_PASSWORD + "@" +
                           NetnsPair::REMOTE_IP + ":" + std::to_string(site.http_port());
  Engine engine;
  Engine user_space(NfqueueDiverter::DataPath::user_space);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  if (only == "fast-proxy") {
    fast_proxy_case(site, engine, user_space, self.c_str());
    return 0;
  }
  Figures curl_socks, socks_path, curl_http, http_path, direct, tracked, not_chosen;
  // What a stateful firewall costs: a rule that matches nothing but turns connection tracking
  // on, which the engine's own rules also need.
  const std::vector<std::string> tracking_rule{"OUTPUT", "-m", "conntrack", "--ctstate", "INVALID", "-j", "RETURN"};
  const auto tracking = [&](const char* action) {
    std::vector<std::string> argv{"iptables", "-w", action};
    argv.insert(argv.end(), tracking_rule.begin(), tracking_rule.end());
    NetnsPair::run_ok(site.client(), argv);
  };
  const bool not_chosen_only = only == "not-chosen";
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kFastRepeats; ++i) direct.add(download(site, site.other_curl(), {}), 0);
    tracking("-A");
    for (int i = 0; i < kFastRepeats; ++i) tracked.add(download(site, site.other_curl(), {}), 0);
    tracking("-D");
    if (!not_chosen_only) {
      curl_socks.add(download(site, site.other_curl(), {"--socks5", socks}), 0);
      curl_http.add(download(site, site.other_curl(), {"--proxytunnel", "-x", http}), 0);
      engine.start(site.client(), site.settings("socks5"));
      measured(engine, socks_path, [&] { return download(site, site.other_curl(), {}); });
      engine.stop();
      engine.start(site.client(), site.settings("http"));
      measured(engine, http_path, [&] { return download(site, site.other_curl(), {}); });
      engine.stop();
    }
    engine.start(site.client(), site.settings("socks5", {DivertSite::CHOSEN_NAME}));
    for (int i = 0; i < kFastRepeats; ++i)
      measured(engine, not_chosen, [&] { return download(site, site.other_curl(), {}); });
    engine.stop();
  }
  std::printf("bulk download of %zu MiB, best of %d rounds\n", kBody >> 20, kRounds);
  if (!not_chosen_only) {
    print_ratio("whole path through microsocks", socks_path, "curl --socks5", curl_socks, 0.8);
    print_ratio("whole path through tinyproxy", http_path, "curl --proxytunnel", curl_http, 0.8);
  }
  print_ratio("program not chosen, engine running", not_chosen, "no engine", direct, 0.95);
  print_ratio("  the same, against", not_chosen, "no engine, tracked", tracked, 0.0);
  print_ratio("  connection tracking alone", tracked, "no engine", direct, 0.0);
  std::printf("connecting (median): not chosen %.2f ms, no engine %.2f ms, no engine tracked %.2f ms\n",
              1e3 * median(not_chosen.connect_seconds), 1e3 * median(direct.connect_seconds),
              1e3 * median(tracked.connect_seconds));
  if (not_chosen_only) return 0;
  std::printf("queue reader during the diverted download   %9.0f packets/s, %6.1f KiB per packet (median)\n",
              median(socks_path.packet_rates), median(socks_path.bytes_per_packet) / 1024);
  std::printf("queue reader during the not-chosen download %9.0f packets/s (%zu of %d downloads queued any)\n",
              median(not_chosen.packet_rates), not_chosen.packet_rates.size(), kRounds * kFastRepeats);
  fast_proxy_case(site, engine, user_space, self.c_str());
  return 0;
}
