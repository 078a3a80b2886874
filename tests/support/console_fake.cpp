#include "tests/support/console_fake.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tovix::testing {
namespace {

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string trim(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

Fields parse_query(const std::string& query) {
  Fields params;
  if (query.empty()) return params;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const auto equals = pair.find('=');
    params.emplace_back(httplib::detail::decode_url(pair.substr(0, equals), true),
                        equals == std::string::npos ? "" : httplib::detail::decode_url(pair.substr(equals + 1), true));
    start = end + 1;
  }
  return params;
}

std::map<std::string, std::string> parse_cookies(const RecordedRequest& request) {
  std::map<std::string, std::string> cookies;
  const auto header = request.header("Cookie");
  if (!header) return cookies;
  std::size_t start = 0;
  while (start < header->size()) {
    std::size_t end = header->find(';', start);
    if (end == std::string::npos) end = header->size();
    const std::string pair = trim(std::string_view(*header).substr(start, end - start));
    const auto equals = pair.find('=');
    if (equals != std::string::npos) cookies[pair.substr(0, equals)] = pair.substr(equals + 1);
    start = end + 1;
  }
  return cookies;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (same_name(key, name)) return value;
  }
  return std::nullopt;
}

FakeAnswer FakeAnswer::json(const nlohmann::ordered_json& body, int status) {
  FakeAnswer answer;
  answer.status = status;
  answer.body = body.dump();
  return answer;
}

struct ConsoleFake::Impl {
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> listen_ended{false};
  int port = -1;
  std::string scheme;
  mutable std::mutex lock;
  std::map<std::pair<std::string, std::string>, FakeAnswer> answers;
  std::vector<RecordedRequest> requests;
  std::condition_variable answer_allowed;
  bool holding = false;
  std::size_t held_so_far = 0;  // tickets handed to held requests, in arrival order
  std::size_t released = 0;     // held requests with a ticket below this may answer

  void handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    record.method = request.method;
    record.target = request.target;
    record.path = request.path;
    const auto question = request.target.find('?');
    if (question != std::string::npos) record.query = request.target.substr(question + 1);
    record.params = parse_query(record.query);
    for (const auto& [name, value] : request.headers) record.headers.emplace_back(name, value);
    record.body = request.body;
    record.cookies = parse_cookies(record);
    record.remote_port = request.remote_port;

    std::unique_lock guard(lock);
    requests.push_back(record);
    if (holding) {
      const std::size_t ticket = held_so_far++;
      answer_allowed.wait(guard, [&] { return !holding || ticket < released; });
    }
    const auto it = answers.find({request.method, request.path});
    if (it == answers.end()) {
      response.status = 404;
      response.set_content(R"({"status":404,"msg":"no route"})", "application/json");
      return;
    }
    response.status = it->second.status;
    for (const auto& [name, value] : it->second.headers) response.set_header(name, value);
    response.set_content(it->second.body, it->second.content_type);
  }

  void start(std::unique_ptr<httplib::Server> created, std::string url_scheme) {
    server = std::move(created);
    scheme = std::move(url_scheme);
    // Without it, a reused connection waits for delayed ACKs between header and body writes.
    server->set_tcp_nodelay(true);
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
      handle(request, response);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Delete(".*", handler);
    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) throw std::runtime_error("console fake: cannot bind a loopback port");
    thread = std::thread([this] {
      server->listen_after_bind();
      listen_ended = true;
    });
    while (!server->is_running() && !listen_ended) std::this_thread::yield();
    if (!server->is_running()) {
      thread.join();
      throw std::runtime_error("console fake: the server did not start");
    }
  }
};

ConsoleFake::ConsoleFake() : _impl(std::make_unique<Impl>()) {
  _impl->start(std::make_unique<httplib::Server>(), "http");
}

ConsoleFake::ConsoleFake(const TlsIdentity& tls) : _impl(std::make_unique<Impl>()) {
  auto server = std::make_unique<httplib::SSLServer>(tls.cert_file.c_str(), tls.key_file.c_str());
  if (!server->is_valid()) throw std::runtime_error("console fake: unusable certificate or key");
  _impl->start(std::move(server), "https");
}

ConsoleFake::~ConsoleFake() {
  stop_holding();
  _impl->server->stop();
  if (_impl->thread.joinable()) _impl->thread.join();
}

int ConsoleFake::port() const { return _impl->port; }

std::string ConsoleFake::base_url() const { return _impl->scheme + "://127.0.0.1:" + std::to_string(_impl->port); }

void ConsoleFake::answer(const std::string& method, const std::string& path, FakeAnswer answer) {
  std::lock_guard guard(_impl->lock);
  _impl->answers[{method, path}] = std::move(answer);
}

void ConsoleFake::answer_json(const std::string& method, const std::string& path, const nlohmann::ordered_json& body,
                              int status) {
  answer(method, path, FakeAnswer::json(body, status));
}

void ConsoleFake::hold_answers() {
  std::lock_guard guard(_impl->lock);
  _impl->holding = true;
}

void ConsoleFake::release_answers(std::size_t count) {
  {
    std::lock_guard guard(_impl->lock);
    _impl->released += count;
  }
  _impl->answer_allowed.notify_all();
}

void ConsoleFake::stop_holding() {
  {
    std::lock_guard guard(_impl->lock);
    _impl->holding = false;
  }
  _impl->answer_allowed.notify_all();
}

std::size_t ConsoleFake::count_of(const std::string& method, const std::string& path) const {
  std::lock_guard guard(_impl->lock);
  return static_cast<std::size_t>(std::count_if(_impl->requests.begin(), _impl->requests.end(),
                                                [&](const auto& r) { return r.method == method && r.path == path; }));
}

std::vector<RecordedRequest> ConsoleFake::requests() const {
  std::lock_guard guard(_impl->lock);
  return _impl->requests;
}

std::size_t ConsoleFake::request_count() const {
  std::lock_guard guard(_impl->lock);
  return _impl->requests.size();
}

RecordedRequest ConsoleFake::last() const {
  std::lock_guard guard(_impl->lock);
  if (_impl->requests.empty()) {
    ADD_FAILURE() << "the console fake received no request";
    return {};
  }
  return _impl->requests.back();
}

}  // namespace tovix::testing

// Debian's cpp-httplib is not built for ThreadSanitizer, and its worker threads hand data over in
// ways the sanitizer cannot see; the reports name only that library. Read by the sanitizer runtime.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }
