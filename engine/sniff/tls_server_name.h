#pragma once
// The server_name of a TLS ClientHello. The hello may arrive in several TCP segments and even
// in several TLS records; call again with everything received so far.
#include <cstddef>
#include <string_view>

#include "engine/sniff/host_sniff_export.h"
#include "engine/sniff/sniff_result.h"

namespace tovix {

// A ClientHello announcing more than this is taken for hostile.
inline constexpr std::size_t MAX_CLIENT_HELLO_BYTES = 32 * 1024;

// need_more until the whole ClientHello is there. no_name for anything that is not a well-formed
// ClientHello, one without a host name, and one with an encrypted inner hello (its outer name
// is only the front's public name).
HOST_SNIFF_EXPORT SniffResult read_tls_server_name(std::string_view first_bytes);

}  // namespace tovix
