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

std::optional<HandshakePlan> DirectHandler::plan_handshake(const std::string&, int, const std::string&, int,
                                                           const std::string&, const std::string&) {
  return HandshakePlan{"direct", _timeouts, true, std::make_unique<NoDialogue>()};
}

}  // namespace tovix
