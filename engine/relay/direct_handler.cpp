#include "engine/relay/direct_handler.h"

namespace tovix {
namespace {

// Nothing to say once connected: the connection is the tunnel.
class NoDialogue : public ProxyDialogue {
 public:
  std::string take_output() override { return {}; }
  std::size_t take_input(std::string_view) override { return 0; }
  [[noreturn]] void input_ended() override { throw ProtocolError("connection closed"); }
  bool done() const override { return true; }
};

}  // namespace

std::shared_ptr<Socket> DirectHandler::handle_connection(const std::string& dst_ip, int dst_port,
                                                         const std::string& proxy_host, int proxy_port,
                                                         const std::string& proxy_username,
                                                         const std::string& proxy_password) {
  HandshakePlan plan = *plan_handshake(dst_ip, dst_port, proxy_host, proxy_port, proxy_username, proxy_password);
  return open_planned(plan, dst_ip, dst_port);
}

std::optional<HandshakePlan> DirectHandler::plan_handshake(const std::string&, int, const std::string&, int,
                                                           const std::string&, const std::string&) {
  return HandshakePlan{"direct", _timeouts, true, std::make_unique<NoDialogue>()};
}

}  // namespace tovix
