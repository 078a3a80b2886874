#pragma once
// The place the end-to-end tests and benchmarks of the diversion backend run in: a client and a
// remote network namespace; in the remote one a SOCKS5 proxy (microsocks) and an HTTP proxy
// (tinyproxy), both with user and password, and an HTTP destination that records its peers;
// copies of curl under names of their own (the engine chooses programs by image name) and a
// long-running program under the chosen name. The client reaches the destination directly too.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/http_destination.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {

class DivertSite {
 public:
  // The name process_list gives for the chosen copies.
  static constexpr const char* CHOSEN_NAME = "chosen";

  // `body_size` bytes of reproducible pseudo-random data behind GET /data. `remote_hosts`: lines
  // of a host file ("address name") for the remote namespace, so the proxies there resolve names
  // the client cannot.
  explicit DivertSite(std::size_t body_size, const std::string& remote_hosts = {});
  ~DivertSite();
  DivertSite(const DivertSite&) = delete;
  DivertSite& operator=(const DivertSite&) = delete;

  const TempDir& dir() const { return *_dir; }
  const NetnsPair& pair() const { return *_pair; }
  const std::string& client() const { return _pair->client(); }
  const std::string& remote() const { return _pair->remote(); }
  HttpDestination& destination() { return *_destination; }
  const std::string& body() const { return *_body; }
  int socks_port() const { return _socks_port; }
  int http_port() const { return _http_port; }
  // "http://<remote>:<destination port><path>"
  std::string url(const std::string& path) const;

  // curl under the chosen name, curl under another name, sleep under the chosen name.
  const std::filesystem::path& chosen_curl() const { return _chosen_curl; }
  const std::filesystem::path& other_curl() const { return _other_curl; }
  const std::filesystem::path& chosen_placeholder() const { return _chosen_placeholder; }

  // A settings record with one proxy of `type` ("socks5" or "http") and `processes` chosen.
  nlohmann::ordered_json settings(const std::string& type, std::vector<std::string> processes = {}) const;

 private:
  std::unique_ptr<TempDir> _dir;
  std::unique_ptr<NetnsPair> _pair;
  std::shared_ptr<const std::string> _body;
  std::unique_ptr<HttpDestination> _destination;
  std::unique_ptr<NetnsProcess> _microsocks, _tinyproxy;
  int _socks_port = 0, _http_port = 0;
  std::filesystem::path _chosen_curl, _other_curl, _chosen_placeholder;
  std::filesystem::path _remote_etc;  // the remote namespace's own /etc files, when given
};

}  // namespace tovix::testing
