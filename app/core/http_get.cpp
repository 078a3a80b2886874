#include "app/core/http_get.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace tovix::app {
namespace {

struct Download {
  std::string body;
  bool too_large = false;
};

size_t append_body(char* data, size_t size, size_t count, void* target) {
  auto* download = static_cast<Download*>(target);
  const size_t bytes = size * count;
  if (download->body.size() + bytes > HTTP_GET_MAX_BYTES) {
    download->too_large = true;
    return 0;  // makes libcurl abort the transfer
  }
  download->body.append(data, bytes);
  return bytes;
}

std::string transport_error_text(CURLcode code, const char* detail) {
  if (code == CURLE_OPERATION_TIMEDOUT) return "请求超时";
  if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST) {
    return std::string("无法连接: ") + (detail[0] != '\0' ? detail : curl_easy_strerror(code));
  }
  return std::string("请求失败: ") + (detail[0] != '\0' ? detail : curl_easy_strerror(code));
}

}  // namespace

HttpGetResult http_get(const std::string& url, std::chrono::milliseconds timeout) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  HttpGetResult result;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    result.error = "请求失败: libcurl 不可用";
    return result;
  }
  Download download;
  char detail[CURL_ERROR_SIZE] = {};
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &download);
  const CURLcode code = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
  if (download.too_large) {
    result.error = "提取结果过大";
  } else if (code != CURLE_OK) {
    result.error = transport_error_text(code, detail);
  } else if (result.status != 200) {
    result.error = "服务器返回 " + std::to_string(result.status);
  } else {
    result.ok = true;
  }
  result.body = std::move(download.body);
  return result;
}

}  // namespace tovix::app
