#pragma once
// Where this machine's public IPv4 address can be asked for, and how each kind of answer is read.
// Qt-free, so that every part of the application that needs the public address asks the same
// services and reads them the same way.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/plan_dialog/plan_dialog_export.h"

namespace tovix {

enum class PublicIpParser {
  // Text lines, one of which starts with the letters "IP" and holds the address after a colon.
  line_format,
  // The first dotted quad anywhere in the answer.
  dotted_quad,
  // A JSON object with the address under "origin".
  json_origin,
};

struct PublicIpSource {
  std::string url;
  PublicIpParser parser = PublicIpParser::dotted_quad;
};

// Each source gets this long to answer.
inline constexpr std::chrono::milliseconds PUBLIC_IP_TIMEOUT{5000};

// Plain-HTTP services in the order they are asked: the two domestic ones first.
PLAN_DIALOG_EXPORT std::vector<PublicIpSource> default_public_ip_sources();

// The address in an answer body, or nothing when this kind of answer holds none. Only the
// dotted-quad reading checks the shape of what it finds.
PLAN_DIALOG_EXPORT std::optional<std::string> parse_public_ip(std::string_view body, PublicIpParser parser);

}  // namespace tovix
