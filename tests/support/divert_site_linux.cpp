#include "tests/support/divert_site_linux.h"

#include <cstring>
#include <random>

#include "tests/support/proxy_fixtures.h"

namespace tovix::testing {
namespace fs = std::filesystem;

DivertSite::DivertSite(std::size_t body_size, const std::string& remote_hosts) {
  _dir = std::make_unique<TempDir>();
  _pair = std::make_unique<NetnsPair>();
  if (!remote_hosts.empty()) {
    // `ip netns exec` mounts these over /etc for what it starts: it must be there before the proxies.
    _remote_etc = fs::path("/etc/netns") / remote();
    fs::create_directories(_remote_etc);
    write_text(_remote_etc / "hosts", "127.0.0.1 localhost\n" + remote_hosts);
  }
  std::string data(body_size, '\0');
  std::mt19937_64 random(42);
  for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
    const std::uint64_t word = random();
    std::memcpy(data.data() + i, &word, 8);
  }
  _body = std::make_shared<const std::string>(std::move(data));
  {
    NetnsScope inside(remote());
    _destination = std::make_unique<HttpDestination>("0.0.0.0", _body);
  }
  _socks_port = free_port_in(remote());
  _microsocks = std::make_unique<NetnsProcess>(
      remote(),
      std::vector<std::string>{"microsocks", "-i", "0.0.0.0", "-p", std::to_string(_socks_port), "-u", PROXY_USER, "-P",
                               PROXY_PASSWORD},
      *_dir / "microsocks.log");
  _http_port = free_port_in(remote());
  write_text(*_dir / "tinyproxy.conf", "Listen 0.0.0.0\nPort " + std::to_string(_http_port) + "\nBasicAuth " +
                                           PROXY_USER + " " + PROXY_PASSWORD +
                                           "\nTimeout 600\nMaxClients 100\nLogLevel Connect\n");
  _tinyproxy = std::make_unique<NetnsProcess>(
      remote(), std::vector<std::string>{"tinyproxy", "-d", "-c", (*_dir / "tinyproxy.conf").string()},
      *_dir / "tinyproxy.log");
  wait_until_accepting_in(remote(), NetnsPair::REMOTE_IP, _socks_port);
  wait_until_accepting_in(remote(), NetnsPair::REMOTE_IP, _http_port);
  fs::create_directories(*_dir / "chosen");
  fs::create_directories(*_dir / "placeholder");
  _chosen_curl = *_dir / "chosen" / (std::string(CHOSEN_NAME) + ".exe");
  _other_curl = *_dir / "other.exe";
  _chosen_placeholder = *_dir / "placeholder" / (std::string(CHOSEN_NAME) + ".exe");
  fs::copy_file("/usr/bin/curl", _chosen_curl);
  fs::copy_file("/usr/bin/curl", _other_curl);
  fs::copy_file("/usr/bin/sleep", _chosen_placeholder);
}

// The proxies and the destination go before the namespaces they live in.
DivertSite::~DivertSite() {
  _tinyproxy.reset();
  _microsocks.reset();
  _destination.reset();
  _pair.reset();
  std::error_code ignored;
  if (!_remote_etc.empty()) fs::remove_all(_remote_etc, ignored);
}

std::string DivertSite::url(const std::string& path) const {
  return "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_destination->port()) + path;
}

nlohmann::ordered_json DivertSite::settings(const std::string& type, std::vector<std::string> processes) const {
  const int port = type == "socks5" ? _socks_port : _http_port;
  return {{"proxy_list", nlohmann::ordered_json::array({{{"type", type},
                                                         {"host", NetnsPair::REMOTE_IP},
                                                         {"port", port},
                                                         {"username", PROXY_USER},
                                                         {"password", PROXY_PASSWORD}}})},
          {"process_list", processes}};
}

}  // namespace tovix::testing
