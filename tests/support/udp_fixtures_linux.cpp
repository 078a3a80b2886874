#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/socket.h"
#include "tests/support/udp_fixtures.h"

namespace tovix::testing {
namespace {

namespace fs = std::filesystem;

const std::string DANTED = "/usr/sbin/danted";
const std::string DNSMASQ = "/usr/sbin/dnsmasq";
const std::string GTLSSERVER = "/usr/sbin/gtlsserver";
const std::string GTLSCLIENT = "/usr/bin/gtlsclient";
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr int kStartAttempts = 5;  // another process may take the free port first

fs::path fresh_dir(const std::string& kind) {
  static std::atomic<int> count{0};
  fs::path dir = fs::temp_directory_path() /
                 ("tovix-" + kind + "-" + std::to_string(getpid()) + "-" + std::to_string(count.fetch_add(1)));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int free_udp_port() {
  auto probe = Socket::create_udp();
  probe->bind("127.0.0.1", 0);
  return probe->local_address().second;
}

// argv run inside the network namespace `ns`, or as it stands when none is named.
std::vector<std::string> inside_named_namespace(const std::string& ns, std::vector<std::string> argv) {
  if (ns.empty()) return argv;
  argv.insert(argv.begin(), {"/usr/bin/ip", "netns", "exec", ns});
  return argv;
}

void run_ok(const std::vector<std::string>& argv) {
  const auto result = run_command(argv, std::chrono::seconds(30));
  if (result.exit_code != 0) throw std::runtime_error(argv[0] + ": " + result.standard_error);
}

// The system user dante signs PROXY_USER in as.
void ensure_proxy_user() {
  if (run_command({"id", PROXY_USER}, std::chrono::seconds(10)).exit_code == 0) return;
  const auto added =
      run_command({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", PROXY_USER},
                  std::chrono::seconds(30));
  // A parallel test may have added it meanwhile (exit code 9: the user exists).
  if (added.exit_code != 0 && added.exit_code != 9) throw std::runtime_error("useradd: " + added.standard_error);
  const auto set = run_command({"sh", "-c", "echo '" + std::string(PROXY_USER) + ":" + PROXY_PASSWORD + "' | chpasswd"},
                               std::chrono::seconds(30));
  if (set.exit_code != 0) throw std::runtime_error("chpasswd: " + set.standard_error);
}

}  // namespace

std::string udp_components_unavailable() {
  if (geteuid() != 0) return "needs root (dante signs users in from the system's password file)";
  for (const auto& program : {DANTED, DNSMASQ, GTLSSERVER, GTLSCLIENT}) {
    if (!fs::exists(program)) return program + " is not installed (tools/install-deps.sh)";
  }
  return {};
}

DanteProxy::DanteProxy(bool with_password) : _dir(fresh_dir("dante")) {
  if (with_password) ensure_proxy_user();
  for (int attempt = 1;; ++attempt) {
    _port = free_loopback_port();
    const int udp_low = free_udp_port();
    const int udp_high = std::min(udp_low + 63, 65535);
    const std::string method = with_password ? "username" : "none";
    write_file(_dir / "sockd.conf",
               "logoutput: " + (_dir / "sockd.log").string() + "\ninternal: 127.0.0.1 port = " + std::to_string(_port) +
                   "\nexternal: " + DANTE_EXTERNAL + "\nsocksmethod: " + method +
                   "\nclientmethod: none\nuser.privileged: root\nuser.unprivileged: nobody\n"
                   "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                   "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: connect udpassociate udpreply\n"
                   "  udp.portrange: " +
                   std::to_string(udp_low) + "-" + std::to_string(udp_high) + "\n  log: error }\n");
    try {
      _start({DANTED, "-f", (_dir / "sockd.conf").string(), "-p", (_dir / "sockd.pid").string(), "-N", "1"});
      return;
    } catch (const std::runtime_error&) {
      if (attempt == kStartAttempts) throw;
    }
  }
}

DanteProxy::~DanteProxy() {
  _process.reset();
  std::error_code ignored;
  fs::remove_all(_dir, ignored);
}

std::string DanteProxy::log() const { return read_file(_dir / "sockd.log"); }

std::unique_ptr<NetnsProcess> start_dante_in(const std::string& ns, const std::string& address, int port,
                                             const fs::path& dir, const std::string& client_ns) {
  write_file(dir / "dante-netns.conf",
             "logoutput: " + (dir / "dante-netns.log").string() + "\ninternal: " + address +
                 " port = " + std::to_string(port) + "\nexternal: " + address +
                 "\nsocksmethod: none\nclientmethod: none\nuser.privileged: root\nuser.unprivileged: nobody\n"
                 "client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"
                 "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: connect udpassociate udpreply\n"
                 "  log: error }\n");
  auto process =
      std::make_unique<NetnsProcess>(ns,
                                     std::vector<std::string>{DANTED, "-f", (dir / "dante-netns.conf").string(), "-p",
                                                              (dir / "dante-netns.pid").string(), "-N", "1"},
                                     dir / "dante-netns.out");
  wait_until_accepting_in(client_ns, address, port);
  return process;
}

DnsmasqResolver::DnsmasqResolver(const std::map<std::string, std::string>& hosts) : _dir(fresh_dir("dnsmasq")) {
  std::string lines;
  for (const auto& [name, address] : hosts) lines += address + " " + name + "\n";
  write_file(_dir / "hosts", lines);
  for (int attempt = 1;; ++attempt) {
    _port = free_loopback_port();
    try {
      _process = std::make_unique<ChildProcess>(std::vector<std::string>{
          DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
          "--addn-hosts=" + (_dir / "hosts").string(), "--listen-address=127.0.0.1", "--bind-interfaces",
          "--port=" + std::to_string(_port), "--log-queries", "--log-facility=" + (_dir / "queries.log").string(),
          "--pid-file=" + (_dir / "dnsmasq.pid").string(), "--user=root", "--group=root"});
      wait_until_accepting(_port, *_process, kStartTimeout);
      return;
    } catch (const std::runtime_error&) {
      _process.reset();
      if (attempt == kStartAttempts) throw;
    }
  }
}

DnsmasqResolver::~DnsmasqResolver() {
  _process.reset();
  std::error_code ignored;
  fs::remove_all(_dir, ignored);
}

std::string DnsmasqResolver::log() const { return read_file(_dir / "queries.log"); }

bool DnsmasqResolver::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (log().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    // dnsmasq writes its log with no other sign; polling the file is the way to see it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

QuicServer::QuicServer(const std::string& address, const std::string& ns) : _dir(fresh_dir("quic")), _address(address) {
  fs::create_directories(_dir / "htdocs");
  write_file(_dir / "htdocs" / "index.html", std::string(QUIC_INDEX_TEXT) + "\n");
  run_ok({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
          "2", "-subj", "/CN=quic.test", "-keyout", (_dir / "key.pem").string(), "-out", (_dir / "cert.pem").string()});
  for (int attempt = 1;; ++attempt) {
    _port = free_udp_port();
    _process = std::make_unique<ChildProcess>(
        inside_named_namespace(ns, {GTLSSERVER, "--quiet", "-d", (_dir / "htdocs").string(), address,
                                    std::to_string(_port), (_dir / "key.pem").string(), (_dir / "cert.pem").string()}));
    // A QUIC server gives no sign that it listens but answering: the client is the probe.
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (_process->running() && std::chrono::steady_clock::now() < deadline) {
      if (!fetch_quic_page(address, _port, std::chrono::seconds(5), ns).empty()) return;
    }
    _process.reset();
    if (attempt == kStartAttempts) throw std::runtime_error("the QUIC server never answered");
  }
}

QuicServer::~QuicServer() {
  _process.reset();
  std::error_code ignored;
  fs::remove_all(_dir, ignored);
}

std::vector<std::string> quic_client_command(const std::string& client, const std::string& address, int port,
                                             const fs::path& download, std::chrono::milliseconds handshake_timeout) {
  return {client,
          "--quiet",
          "--exit-on-all-streams-close",
          "--handshake-timeout=" + std::to_string(handshake_timeout.count()) + "ms",
          "--download=" + download.string(),
          address,
          std::to_string(port),
          "https://" + address + ":" + std::to_string(port) + "/index.html"};
}

std::string quic_page(const fs::path& download) { return read_file(download / "index.html"); }

const std::string& quic_client_program() { return GTLSCLIENT; }

std::string fetch_quic_page(const std::string& address, int port, std::chrono::milliseconds timeout,
                            const std::string& ns) {
  const fs::path download = fresh_dir("quic-download");
  try {
    run_command(inside_named_namespace(ns, quic_client_command(GTLSCLIENT, address, port, download, timeout)),
                timeout * 2);
  } catch (const CommandTimeout&) {
  }
  std::string page = quic_page(download);
  std::error_code ignored;
  fs::remove_all(download, ignored);
  return page;
}

}  // namespace tovix::testing
