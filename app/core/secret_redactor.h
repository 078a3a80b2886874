#pragma once
// Keeps passwords and tokens out of log lines. The secret values the settings hold are replaced
// wherever they appear; text shaped like a credential (a bearer token, a JWT, the password of a
// URL, a password= or "token": field) is masked even when its value was never registered.
// Safe from any thread.
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tovix::app {

using Json = nlohmann::ordered_json;

inline constexpr const char* REDACTED = "******";
// Shorter values are too likely to stand in ordinary text (a port, a count) to be replaced
// literally; the credential shapes still catch them in key=value form.
inline constexpr std::size_t MIN_SECRET_LENGTH = 4;

class SecretRedactor {
 public:
  // Replaces the literal secrets that came from `source` (the settings, the proxies the API
  // mode fetched); those of other sources stay.
  void set_secrets(const std::string& source, std::vector<std::string> secrets);
  std::string redact(std::string_view text) const;

 private:
  mutable std::mutex _lock;
  std::map<std::string, std::vector<std::string>> _by_source;
  std::vector<std::string> _secrets;  // all sources, longest first, so a secret inside another goes too
};

// The secret values of a settings record: every proxy password (list and legacy proxy), the API
// password, the vendor account's password and token.
std::vector<std::string> secrets_of(const Json& settings);

}  // namespace tovix::app
