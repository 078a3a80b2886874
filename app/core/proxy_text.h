#pragma once
// Proxy addresses given as text (an imported product's "host:port", the lines of an API
// extraction answer) turned into ProxyEntry records.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace tovix::app {

using Json = nlohmann::ordered_json;

inline constexpr const char* PROXY_TYPE_SOCKS5 = "socks5";
inline constexpr const char* PROXY_TYPE_HTTP = "http";

// {type, host, port, username, password}, the shape the settings store gives its entries.
Json make_proxy_entry(const std::string& type, const std::string& host, int port, const std::string& username,
                      const std::string& password);

// "host:port" split at the last colon; nothing when the host is empty or holds characters no
// host name or IPv4 address has, or the port is not a decimal number from 1 to 65535.
std::optional<std::pair<std::string, int>> split_host_port(std::string_view text);

// A host name or IPv4 address: letters, digits, ".", "-" and "_", not empty.
bool is_valid_host(std::string_view host);

// True for a decimal port number from 1 to 65535 (white space around allowed).
std::optional<int> parse_port(std::string_view text);

// An imported product's address ("host:port", split at its last colon) with its credentials;
// nothing when the address is not one.
std::optional<Json> entry_from_product(const std::string& ip_first, const std::string& username,
                                       const std::string& password, const std::string& type);

struct ExtractedProxies {
  Json entries = Json::array();
  // Why the answer gave no entry (empty when it gave at least one): the vendor's own message
  // when it answered with JSON, else the start of its text.
  std::string problem;
};

// One proxy per line (CRLF or LF): "host:port" with `username`/`password`, or
// "host:port:user:pass" with its own. Lines that are no address are skipped.
ExtractedProxies parse_extraction_answer(std::string_view body, const std::string& type, const std::string& username,
                                         const std::string& password);

}  // namespace tovix::app
