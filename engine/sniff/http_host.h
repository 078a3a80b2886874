#pragma once
// The Host header of the first HTTP/1 request on a connection. Call again with everything
// received so far.
#include <cstddef>
#include <string_view>

#include "engine/sniff/host_sniff_export.h"
#include "engine/sniff/sniff_result.h"

namespace tovix {

// A request head longer than this without a Host line is not waited for any further.
inline constexpr std::size_t MAX_REQUEST_HEAD_BYTES = 16 * 1024;

// need_more while the request line and headers up to the Host line are still arriving. no_name
// for anything but an HTTP/1.x request in origin form (a request meant for a proxy of the
// program's own, CONNECT or an absolute URL, names the final server, not this destination),
// without a Host line, or whose Host is not a host name (an IP address, non-ASCII, too long).
HOST_SNIFF_EXPORT SniffResult read_http_host(std::string_view first_bytes);

}  // namespace tovix
