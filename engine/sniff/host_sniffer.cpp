#include "engine/sniff/host_sniffer.h"

#include <algorithm>
#include <iterator>

namespace tovix {

bool server_speaks_first(int port) {
  return std::find(std::begin(SERVER_FIRST_PORTS), std::end(SERVER_FIRST_PORTS), port) != std::end(SERVER_FIRST_PORTS);
}

SniffResult sniff_host_name(std::string_view first_bytes) {
  if (first_bytes.empty()) return SniffResult::need_more();
  const unsigned char first = static_cast<unsigned char>(first_bytes.front());
  if (first == 22) return read_tls_server_name(first_bytes);
  if (first >= 'A' && first <= 'Z') return read_http_host(first_bytes);
  return SniffResult::no_name();
}

}  // namespace tovix
