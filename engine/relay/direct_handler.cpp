#include "engine/relay/direct_handler.h"

namespace tovix {

std::shared_ptr<Socket> DirectHandler::handle_connection(const std::string& dst_ip, int dst_port, const std::string&,
                                                         int, const std::string&, const std::string&) {
  try {
    return open_proxy_connection("direct", dst_ip, dst_port, _timeouts);
  } catch (const ProxyError& error) {
    throw ProxyError(error.what(), true);
  }
}

}  // namespace tovix
