#include "api/tovixproxy_client_session.h"

#include <chrono>
#include <mutex>

#include <curl/curl.h>

namespace tovix::detail {
namespace {

// Dialog workers create clients on several threads at once, and curl_global_init is not
// thread-safe; it runs once per process and is never undone while threads may still use curl.
void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl 初始化失败");
  });
}

TransportFailure classify(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return TransportFailure::timeout;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return TransportFailure::connect;
    default:
      return TransportFailure::other;
  }
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

struct HttpSession::Handle {
  CURL* curl = nullptr;
  ClientTimeouts timeouts;
  char error[CURL_ERROR_SIZE] = {};
  std::string body;
  bool too_large = false;
  // The answer's wait: from the moment the request goes out on a ready connection.
  bool request_sent = false;
  bool stalled = false;
  curl_off_t bytes_moved = 0;
  std::chrono::steady_clock::time_point last_progress;

  static std::size_t on_data(char* data, std::size_t size, std::size_t count, void* self_pointer) {
    auto* self = static_cast<Handle*>(self_pointer);
    const std::size_t bytes = size * count;
    if (self->body.size() + bytes > MAX_RESPONSE_BYTES) {
      self->too_large = true;
      return 0;  // makes libcurl end the transfer
    }
    self->body.append(data, bytes);
    return bytes;
  }

  static int on_connected(void* self_pointer, char*, char*, int, int) {
    auto* self = static_cast<Handle*>(self_pointer);
    self->request_sent = true;
    self->last_progress = std::chrono::steady_clock::now();
    return CURL_PREREQFUNC_OK;
  }

  // libcurl calls this at least about once a second, also while nothing arrives.
  static int on_progress(void* self_pointer, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* self = static_cast<Handle*>(self_pointer);
    if (!self->request_sent) return 0;  // connecting is bounded by the connect time-out
    const auto now = std::chrono::steady_clock::now();
    if (downloaded + uploaded != self->bytes_moved) {
      self->bytes_moved = downloaded + uploaded;
      self->last_progress = now;
      return 0;
    }
    if (now - self->last_progress < self->timeouts.response) return 0;
    self->stalled = true;
    return 1;  // ends the transfer
  }

  void set(CURLoption option, long value) { curl_easy_setopt(curl, option, value); }
  void set(CURLoption option, const char* value) { curl_easy_setopt(curl, option, value); }
};

HttpSession::HttpSession(ClientTimeouts timeouts) : _handle(std::make_unique<Handle>()) {
  init_curl_once();
  Handle& h = *_handle;
  h.timeouts = timeouts;
  h.curl = curl_easy_init();
  if (h.curl == nullptr) throw std::runtime_error("libcurl 句柄创建失败");
  // Resolver time-outs through signals are unsafe with several threads.
  h.set(CURLOPT_NOSIGNAL, 1L);
  // An empty file name switches the in-memory cookie store on without reading any file.
  h.set(CURLOPT_COOKIEFILE, "");
  h.set(CURLOPT_FOLLOWLOCATION, 1L);
  h.set(CURLOPT_MAXREDIRS, 30L);
  h.set(CURLOPT_PROTOCOLS_STR, "http,https");
  h.set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  h.set(CURLOPT_ACCEPT_ENCODING, "");
  h.set(CURLOPT_SSL_VERIFYPEER, 1L);
  h.set(CURLOPT_SSL_VERIFYHOST, 2L);
  h.set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  // libcurl's own low-speed limit averages over several seconds, so a stalled answer is
  // detected by watching the byte counts instead.
  h.set(CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h.curl, CURLOPT_XFERINFOFUNCTION, &Handle::on_progress);
  curl_easy_setopt(h.curl, CURLOPT_XFERINFODATA, &h);
  curl_easy_setopt(h.curl, CURLOPT_PREREQFUNCTION, &Handle::on_connected);
  curl_easy_setopt(h.curl, CURLOPT_PREREQDATA, &h);
  curl_easy_setopt(h.curl, CURLOPT_ERRORBUFFER, h.error);
  curl_easy_setopt(h.curl, CURLOPT_WRITEFUNCTION, &Handle::on_data);
  curl_easy_setopt(h.curl, CURLOPT_WRITEDATA, &h);
}

HttpSession::~HttpSession() { curl_easy_cleanup(_handle->curl); }

HttpResponse HttpSession::perform(const std::string& url, const std::vector<std::string>& headers,
                                  const std::optional<std::string>& body) {
  Handle& h = *_handle;
  // The console must be reached directly, whatever proxy the environment names: an empty proxy
  // overrides the variables, and "*" exempts every host.
  h.set(CURLOPT_PROXY, "");
  h.set(CURLOPT_NOPROXY, "*");
  h.set(CURLOPT_URL, url.c_str());

  HeaderList list;
  for (const std::string& line : headers) list.list = curl_slist_append(list.list, line.c_str());
  // libcurl would otherwise hold larger bodies back waiting for "100 Continue".
  list.list = curl_slist_append(list.list, "Expect:");
  curl_easy_setopt(h.curl, CURLOPT_HTTPHEADER, list.list);

  if (body) {
    h.set(CURLOPT_POST, 1L);
    curl_easy_setopt(h.curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    curl_easy_setopt(h.curl, CURLOPT_POSTFIELDS, body->data());
  } else {
    h.set(CURLOPT_HTTPGET, 1L);
  }

  h.body.clear();
  h.too_large = false;
  h.request_sent = false;
  h.stalled = false;
  h.bytes_moved = 0;
  h.error[0] = '\0';
  const CURLcode code = curl_easy_perform(h.curl);
  curl_easy_setopt(h.curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h.curl, CURLOPT_POSTFIELDS, nullptr);

  if (h.stalled) throw TransportError(TransportFailure::timeout, "等待响应超时");
  if (h.too_large) throw TransportError(TransportFailure::other, "服务器响应过大");
  if (code != CURLE_OK) {
    const std::string text = h.error[0] != '\0' ? std::string(h.error) : std::string(curl_easy_strerror(code));
    throw TransportError(classify(code), text);
  }
  HttpResponse response;
  curl_easy_getinfo(h.curl, CURLINFO_RESPONSE_CODE, &response.status);
  response.body = std::move(h.body);
  h.body = std::string();
  return response;
}

}  // namespace tovix::detail
