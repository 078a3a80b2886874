#pragma once
// The HTTP client of the vendor console. Every public operation returns a result record (an ordered
// JSON object that always has "success" and "message") instead of failing; one object belongs to one
// thread at a time and keeps its own connection and cookies for its whole life.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/tovixproxy_client_export.h"
#include "common/vendor.h"

namespace tovix {

using Json = nlohmann::ordered_json;

// A request that did not produce a usable answer; what() is the user-facing text.
class TOVIXPROXY_CLIENT_EXPORT RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How long a request may wait. The defaults are the product's; tests shorten them.
struct ClientTimeouts {
  std::chrono::milliseconds connect{15000};
  // Longest stretch without any bytes moving once the request is under way (checked about once a
  // second, so shorter values act as about one second).
  std::chrono::milliseconds response{15000};
};

namespace detail {
class HttpSession;
}

class TOVIXPROXY_CLIENT_EXPORT ToVixProxyClient {
 public:
  static constexpr const char* _AES_KEY = "kelpmoor.harbour";
  static constexpr const char* _AES_IV = "4827150396264810";

  explicit ToVixProxyClient(std::string base_url = TOVIXPROXY_DEFAULT_BASE_URL,
                            std::optional<std::string> jwt_token = std::nullopt, ClientTimeouts timeouts = {});
  ~ToVixProxyClient();
  ToVixProxyClient(const ToVixProxyClient&) = delete;
  ToVixProxyClient& operator=(const ToVixProxyClient&) = delete;

  // Root URL without trailing "/".
  const std::string& base_url() const { return _base_url; }
  // Absent or empty means signed out.
  const std::optional<std::string>& jwt_token() const { return _jwt_token; }
  // The member id of the last successful login; null when none.
  const Json& client_id() const { return _client_id; }

  // One request; returns the parsed body of a 200 answer. Throws RequestError when the console
  // cannot be reached or its answer is unusable, std::invalid_argument for a method other than
  // GET or POST. `params` (an object; null values are left out) is used by GET only.
  Json _request(const std::string& method, const std::string& path, const std::optional<Json>& data = std::nullopt,
                const std::optional<Json>& params = std::nullopt);

  // AES-128-CBC with PKCS#7 padding under the fixed key and IV, as standard Base64.
  static std::string _encrypt_password(const std::string& password);

  // Sign-in.
  Json get_captcha();
  Json verify_captcha(const std::string& token, const std::string& captcha);
  Json send_phone_code(const std::string& phone, const Json& phone_code = 86, const std::string& token = "",
                       const std::string& captcha = "");
  Json login(const std::string& account, const std::string& password, const Json& phone_code = "86",
             const std::optional<std::string>& captcha_code = std::nullopt,
             const std::optional<std::string>& captcha_token = std::nullopt,
             const std::string& login_type = "password");
  // Signs this object out locally in every case, also when the console cannot be told.
  Json logout();

  // Products and whitelist; each needs a signed-in object.
  Json get_products(const std::string& status = "Active", std::int64_t page = 1, std::int64_t limit = 50,
                    const std::optional<std::string>& keywords = std::nullopt);
  Json get_products_by_module(const std::string& module, const std::string& status = "Active", std::int64_t page = 1,
                              std::int64_t limit = 50, const std::optional<std::string>& keywords = std::nullopt);
  Json get_long_term_products(std::int64_t page = 1, std::int64_t limit = 50, const std::string& status = "");
  Json get_short_term_products(std::int64_t page = 1, std::int64_t limit = 50, const std::string& status = "");
  Json get_short_term_whitelist(const Json& host_id);
  Json set_short_term_whitelist(const Json& host_id, const std::string& ip_white);

 private:
  bool _signed_in() const;
  void _sign_in(const std::string& jwt, Json client_id);
  void _sign_out();
  void _drop_authorization();
  // Standing headers followed by the call's own, a later name replacing an earlier one.
  std::vector<std::string> _headers_with(const std::vector<std::pair<std::string, std::string>>& extra) const;
  // The listing of one product family, each item mapped to that family's record.
  Json _fetch_family(const std::string& path, const Json& params, const char* failure_log,
                     const std::function<Json(const Json&)>& map_item);
  static std::string _whitelist_path(const Json& host_id);
  // The console's host name, which opens some log lines.
  const std::string& _host() const { return _host_name; }

  std::string _base_url;
  std::string _host_name;
  std::optional<std::string> _jwt_token;
  Json _client_id;
  std::vector<std::pair<std::string, std::string>> _standing_headers;
  std::unique_ptr<detail::HttpSession> _session;
};

}  // namespace tovix
