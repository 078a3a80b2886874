#pragma once
// The destination's host name as the client's first bytes give it (a TLS server name or an
// HTTP Host), so that the proxy can be asked for the name rather than for the address the
// client's own resolver found. The bytes are only read, never changed: the caller keeps and
// sends them on once the tunnel stands.
#include <chrono>
#include <cstddef>
#include <string_view>

#include "engine/sniff/host_sniff_export.h"
#include "engine/sniff/http_host.h"
#include "engine/sniff/sniff_result.h"
#include "engine/sniff/tls_server_name.h"

namespace tovix {

// Longest wait for the first bytes; a client that sends nothing in this time goes by address.
inline constexpr std::chrono::milliseconds SNIFF_WAIT{300};

// Ports whose server speaks first (FTP, SSH, mail): the client sends nothing until greeted, so
// no wait happens for them.
inline constexpr int SERVER_FIRST_PORTS[] = {21, 22, 25, 110, 143, 465, 587, 993, 995};
HOST_SNIFF_EXPORT bool server_speaks_first(int port);

// Dispatches on the first byte: a TLS handshake record, an HTTP method, or neither (no_name).
// need_more on no bytes at all.
HOST_SNIFF_EXPORT SniffResult sniff_host_name(std::string_view first_bytes);

}  // namespace tovix
