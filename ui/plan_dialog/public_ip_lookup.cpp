#include "ui/plan_dialog/public_ip_lookup.h"

#include <mutex>
#include <string_view>

#include <curl/curl.h>

#include "common/text.h"

namespace tovix {
namespace {

// An address answer is a few dozen bytes; anything far larger is not one.
constexpr std::size_t MAX_ANSWER_BYTES = 64 * 1024;

struct Answer {
  std::string body;
  bool too_large = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* answer_pointer) {
  auto* answer = static_cast<Answer*>(answer_pointer);
  const std::size_t bytes = size * count;
  if (answer->body.size() + bytes > MAX_ANSWER_BYTES) {
    answer->too_large = true;
    return 0;
  }
  answer->body.append(data, bytes);
  return bytes;
}

struct EasyHandle {
  CURL* curl;
  EasyHandle() : curl(curl_easy_init()) {}
  ~EasyHandle() { curl_easy_cleanup(curl); }
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
};

// The answer text of a successful GET, or nothing.
std::optional<std::string> get_text(const std::string& url, std::chrono::milliseconds timeout) {
  // The web client initialises libcurl the same way; libcurl's own initialisation is thread-safe
  // from 7.84 on, so the two never race.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  EasyHandle handle;
  if (handle.curl == nullptr) return std::nullopt;
  CURL* curl = handle.curl;
  Answer answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  // The machine's own address is wanted, whatever proxy the environment names.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  // Some of these services answer command-line tools with plain text and browsers with pages.
  const std::string agent = std::string("curl/") + curl_version_info(CURLVERSION_NOW)->version;
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  if (curl_easy_perform(curl) != CURLE_OK || answer.too_large) return std::nullopt;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) return std::nullopt;
  if (to_valid_utf8(answer.body) != answer.body) return std::nullopt;
  return std::move(answer.body);
}

}  // namespace

std::optional<std::string> lookup_public_ip(const std::vector<PublicIpSource>& sources,
                                            std::chrono::milliseconds timeout) {
  for (const PublicIpSource& source : sources) {
    const std::optional<std::string> body = get_text(source.url, timeout);
    if (!body || strip_whitespace(*body).empty()) continue;
    if (auto address = parse_public_ip(*body, source.parser)) return address;
  }
  return std::nullopt;
}

}  // namespace tovix
