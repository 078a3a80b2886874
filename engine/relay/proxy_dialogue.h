#pragma once
// A proxy handshake as a conversation without I/O of its own: it hands out the bytes to send and
// is offered the bytes that came back, so the same parsing serves a blocking handler (which waits
// for each answer) and the relay's event loop (which moves the bytes on readiness).
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/socket.h"

namespace tovix {

class ProxyDialogue {
 public:
  virtual ~ProxyDialogue() = default;

  // Bytes to send now, in order; empty when the dialogue waits for an answer or is done.
  virtual std::string take_output() = 0;
  // Offered what was received and not taken yet; takes only the bytes that belong to the
  // handshake and returns how many, so whatever follows them stays queued for the tunnel.
  // Throws ProtocolError (or one of its kinds) for an answer that ends the handshake.
  virtual std::size_t take_input(std::string_view received) = 0;
  // The peer closed the connection before the handshake was done; always throws.
  [[noreturn]] virtual void input_ended() = 0;
  // The tunnel stands.
  virtual bool done() const = 0;
};

// Runs `dialogue` to its end on a blocking socket; every answer must come before `deadline`.
// Throws what the dialogue throws, SocketTimeout or SocketError.
inline void run_dialogue(Socket& socket, ProxyDialogue& dialogue, std::chrono::steady_clock::time_point deadline) {
  char received[4096];
  for (;;) {
    const std::string output = dialogue.take_output();
    if (!output.empty()) socket.send_all(output.data(), output.size());
    if (dialogue.done()) return;
    wait_readable_until(socket, deadline);
    const std::size_t seen = socket.peek(received, sizeof received);
    if (seen == 0) dialogue.input_ended();
    const std::size_t taken = dialogue.take_input(std::string_view(received, seen));
    receive_exact(socket, received, taken, deadline);
  }
}

}  // namespace tovix
