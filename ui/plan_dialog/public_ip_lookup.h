#pragma once
// Asks the public-IP sources in turn, directly (no proxy), and returns the first address found.
// Blocks the calling thread: at most one request per source, each bounded by `timeout`.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ui/plan_dialog/plan_dialog_export.h"
#include "ui/plan_dialog/public_ip_sources.h"

namespace tovix {

// A source fails on a refused or timed-out request, an HTTP error status, an answer that is not
// UTF-8 text, an empty answer, or an answer its parser finds no address in; the next one is
// then asked.
PLAN_DIALOG_EXPORT std::optional<std::string> lookup_public_ip(const std::vector<PublicIpSource>& sources,
                                                               std::chrono::milliseconds timeout = PUBLIC_IP_TIMEOUT);

}  // namespace tovix
