#pragma once
// How the client reads console answers of any shape and writes texts onto the wire. The console's
// JSON is untrusted: a value of the wrong type reads as absent instead of throwing. Internal.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

#include "api/tovixproxy_client.h"

namespace tovix::detail {

// The module's logger, "ToVixProxy.Client".
spdlog::logger& client_log();

// obj[key] when obj is an object holding key, else null.
const Json& field(const Json& obj, std::string_view key);
// field() when it is a text, else absent.
std::optional<std::string> text_field(const Json& obj, std::string_view key);
// field() when it is an object, else an empty object.
Json object_field(const Json& obj, std::string_view key);
// True when the value is a number equal to 200.
bool is_status_200(const Json& status);

// application/x-www-form-urlencoded: letters, digits and "_.-~" as they are, a blank as "+",
// every other byte as %XX.
std::string form_encode(std::string_view text);
// The same for one segment of a URL path, where "+" would be taken literally: a blank is %20.
std::string path_encode(std::string_view text);
// name=value pairs joined with "&", both sides form-encoded.
std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields);

// Matches of the captcha page (searched anywhere in the page, first match wins).
std::optional<std::string> find_captcha_token(std::string_view html);
std::optional<std::string> find_captcha_image(std::string_view html);

}  // namespace tovix::detail
