#pragma once
// A loopback HTTP(S) server that answers as the vendor console does, from answers the test sets
// per method and path, and records every request it receives. Started on a free port by the
// constructor, stopped and joined by the destructor.
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tovix::testing {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string target;  // the request line's target, undecoded
  std::string path;    // decoded
  std::string query;   // as received, without "?"
  Fields params;       // decoded, in the order received
  Fields headers;
  std::string body;
  std::map<std::string, std::string> cookies;
  int remote_port = -1;

  // The first header of that name (any letter case).
  std::optional<std::string> header(std::string_view name) const;
  nlohmann::ordered_json json_body() const { return nlohmann::ordered_json::parse(body); }
};

struct FakeAnswer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  Fields headers;

  static FakeAnswer json(const nlohmann::ordered_json& body, int status = 200);
};

// Certificate and key files of an HTTPS fake.
struct TlsIdentity {
  std::string cert_file;
  std::string key_file;
};

class ConsoleFake {
 public:
  ConsoleFake();
  explicit ConsoleFake(const TlsIdentity& tls);
  ~ConsoleFake();
  ConsoleFake(const ConsoleFake&) = delete;
  ConsoleFake& operator=(const ConsoleFake&) = delete;

  int port() const;
  // "http://127.0.0.1:<port>" (or https for a TLS fake).
  std::string base_url() const;

  // What a request of that method and path gets; paths without an answer get 404.
  void answer(const std::string& method, const std::string& path, FakeAnswer answer);
  void answer_json(const std::string& method, const std::string& path, const nlohmann::ordered_json& body,
                   int status = 200);

  // A slow console: from hold_answers() on, each request is recorded at once but answered only
  // when release_answers lets it go, the oldest held first. stop_holding() lets every held and
  // later request go.
  void hold_answers();
  void release_answers(std::size_t count = 1);
  void stop_holding();

  std::vector<RecordedRequest> requests() const;
  // The requests of that method and path received so far.
  std::size_t count_of(const std::string& method, const std::string& path) const;
  std::size_t request_count() const;
  // The last request; fails the test when there is none.
  RecordedRequest last() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace tovix::testing
