#include "api/tovixproxy_client.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <vector>

#include <curl/curl.h>
#include <openssl/evp.h>

#include "api/tovixproxy_client_session.h"
#include "api/tovixproxy_client_values.h"
#include "common/json_values.h"
#include "common/text.h"

namespace tovix {
namespace {

using detail::TransportError;
using detail::TransportFailure;

constexpr std::size_t STATUS_TEXT_LIMIT = 200;

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

bool same_header_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// The host part of a URL, or the URL itself when it cannot be parsed.
std::string host_of(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
  char* host = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    return url;
  }
  std::string result(host);
  curl_free(host);
  return result;
}

std::string query_string(const Json& params) {
  std::vector<std::pair<std::string, std::string>> fields;
  if (params.is_object()) {
    for (const auto& [name, value] : params.items()) {
      if (!value.is_null()) fields.emplace_back(name, text_of(value));
    }
  }
  return detail::form_encode(fields);
}

}  // namespace

namespace detail {

std::string request_failure_text(const TransportError& error) {
  switch (error.kind()) {
    case TransportFailure::timeout:
      return "请求超时，请检查网络后重试";
    case TransportFailure::connect:
      return "无法连接到服务器，请检查网络";
    case TransportFailure::other:
      break;
  }
  return std::string("网络请求异常: ") + error.what();
}

std::string refusal_text(const HttpResponse& response, bool consult_message) {
  std::string msg;
  try {
    const Json body = Json::parse(response.body);
    if (consult_message && body.is_object() && body.contains("message")) {
      msg = text_of(body["message"]);
    } else if (body.is_object() && body.contains("msg")) {
      msg = text_of(body["msg"]);
    } else {
      msg = to_valid_utf8(response.body, STATUS_TEXT_LIMIT);
    }
  } catch (const Json::exception&) {
    msg = to_valid_utf8(response.body, STATUS_TEXT_LIMIT);
  }
  return "服务器返回 " + std::to_string(response.status) + ": " + msg;
}

}  // namespace detail

ToVixProxyClient::ToVixProxyClient(std::string base_url, std::optional<std::string> jwt_token, ClientTimeouts timeouts)
    : _base_url(std::move(base_url)), _jwt_token(std::move(jwt_token)) {
  while (!_base_url.empty() && _base_url.back() == '/') _base_url.pop_back();
  _session = std::make_unique<detail::HttpSession>(timeouts);  // initialises libcurl first
  _host_name = host_of(_base_url);
  if (_signed_in()) _standing_headers.emplace_back("Authorization", "Bearer " + *_jwt_token);
}

ToVixProxyClient::~ToVixProxyClient() = default;

bool ToVixProxyClient::_signed_in() const { return _jwt_token.has_value() && !_jwt_token->empty(); }

void ToVixProxyClient::_sign_in(const std::string& jwt, Json client_id) {
  _jwt_token = jwt;
  _client_id = std::move(client_id);
  _drop_authorization();
  _standing_headers.emplace_back("Authorization", "Bearer " + jwt);
}

void ToVixProxyClient::_sign_out() {
  _jwt_token.reset();
  _drop_authorization();
}

void ToVixProxyClient::_drop_authorization() {
  std::erase_if(_standing_headers, [](const auto& header) { return same_header_name(header.first, "Authorization"); });
}

std::vector<std::string> ToVixProxyClient::_headers_with(
    const std::vector<std::pair<std::string, std::string>>& extra) const {
  std::vector<std::pair<std::string, std::string>> merged = _standing_headers;
  for (const auto& header : extra) {
    std::erase_if(merged, [&](const auto& standing) { return same_header_name(standing.first, header.first); });
    merged.push_back(header);
  }
  std::vector<std::string> lines;
  for (const auto& [name, value] : merged) {
    // A line break in a value (a token from the console, say) would smuggle in further headers.
    if (value.find_first_of("\r\n") != std::string::npos) {
      throw TransportError(TransportFailure::other, "请求头 " + name + " 含有换行符");
    }
    lines.push_back(name + ": " + value);
  }
  return lines;
}

Json ToVixProxyClient::_request(const std::string& method, const std::string& path, const std::optional<Json>& data,
                                const std::optional<Json>& params) {
  std::string url = _base_url + path;
  std::optional<std::string> body;
  const std::string verb = upper(method);
  if (verb == "GET") {
    const std::string query = params ? query_string(*params) : std::string();
    if (!query.empty()) url += (url.find('?') == std::string::npos ? "?" : "&") + query;
  } else if (verb == "POST") {
    body = data ? data->dump(-1, ' ', false, Json::error_handler_t::replace) : std::string();
  } else {
    throw std::invalid_argument("不支持的 HTTP 方法: " + method);
  }

  detail::HttpResponse response;
  try {
    const auto headers = _headers_with({{"Content-Type", "application/json"}, {"Accept", "application/json"}});
    response = _session->perform(url, headers, body);
  } catch (const TransportError& error) {
    throw RequestError(detail::request_failure_text(error));
  }
  if (response.status != 200) throw RequestError(detail::refusal_text(response, true));
  try {
    return Json::parse(response.body);
  } catch (const Json::exception&) {
    throw RequestError("服务器返回数据格式异常");
  }
}

std::string ToVixProxyClient::_encrypt_password(const std::string& password) {
  if (password.size() > static_cast<std::size_t>(INT_MAX) - 16) throw std::invalid_argument("密码过长");
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  const auto* key = reinterpret_cast<const unsigned char*>(_AES_KEY);
  const auto* iv = reinterpret_cast<const unsigned char*>(_AES_IV);
  // PKCS#7 padding is EVP's default for block ciphers.
  std::vector<unsigned char> cipher(password.size() + 16);
  int written = 0;
  int final_written = 0;
  if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key, iv) != 1 ||
      EVP_EncryptUpdate(context.get(), cipher.data(), &written, reinterpret_cast<const unsigned char*>(password.data()),
                        static_cast<int>(password.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), cipher.data() + written, &final_written) != 1) {
    throw std::runtime_error("密码加密失败");
  }
  const int cipher_size = written + final_written;
  std::string base64(4 * ((static_cast<std::size_t>(cipher_size) + 2) / 3) + 1, '\0');
  const int encoded = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), cipher.data(), cipher_size);
  base64.resize(static_cast<std::size_t>(encoded));
  return base64;
}

}  // namespace tovix
