#pragma once
// The steps of a SOCKS5 conversation (RFC 1928) that every command shares: the greeting with
// optional user/password sign-in (RFC 1929), and the reply with its bound address. Each step
// takes exactly its own bytes and throws ProtocolError for anything malformed.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/ip_address.h"
#include "common/socket.h"
#include "engine/relay/proxy_dialogue.h"
#include "engine/relay/socks5_handler_export.h"

namespace tovix::socks5 {

enum : std::uint8_t {
  VERSION = 0x05,
  AUTH_VERSION = 0x01,
  METHOD_NO_AUTH = 0x00,
  METHOD_USER_PASSWORD = 0x02,
  METHOD_NONE_ACCEPTABLE = 0xFF,
  COMMAND_CONNECT = 0x01,
  COMMAND_UDP_ASSOCIATE = 0x03,
  ADDRESS_IPV4 = 0x01,
  ADDRESS_DOMAIN = 0x03,
  ADDRESS_IPV6 = 0x04,
  REPLY_SUCCEEDED = 0x00,
  REPLY_GENERAL_FAILURE = 0x01,
  REPLY_NETWORK_UNREACHABLE = 0x03,
  REPLY_HOST_UNREACHABLE = 0x04,
  REPLY_TTL_EXPIRED = 0x06,
  REPLY_ADDRESS_TYPE_NOT_SUPPORTED = 0x08,
};

using Deadline = std::chrono::steady_clock::time_point;

struct Reply {
  std::uint8_t code = 0;
  std::optional<IpAddress> bound_address;  // absent when the proxy named a host instead
  std::string bound_host;
  std::uint16_t bound_port = 0;
};

// The conversation: the greeting, which offers no authentication and user/password as well when
// a user name is given (signing in if the proxy picks it), then a request and its reply. Either
// half may be left out: no greeting for a reply on a connection signed in before, no request
// after a sign-in that is all the caller wants. The reply's bound address is taken exactly: a
// tunnel's first bytes follow it. User name and password are limited to 255 bytes each.
class SOCKS5_HANDLER_EXPORT Exchange : public ProxyDialogue {
 public:
  struct Plan {
    bool sign_in = true;
    std::string username;
    std::string password;
    std::string request;  // sent once signed in; may be empty
    bool read_reply = true;
  };
  explicit Exchange(Plan plan);

  std::string take_output() override;
  std::size_t take_input(std::string_view received) override;
  [[noreturn]] void input_ended() override;
  bool done() const override { return _step == Step::done; }
  const Reply& reply() const { return _reply; }

 protected:
  // The reply, once read in full; may throw to end the handshake.
  virtual void on_reply(const Reply&) {}

 private:
  enum class Step { method, sign_in, reply_head, reply_name_length, reply_address, done };
  void _expect(Step step, std::size_t bytes);
  void _message_complete();
  void _method_chosen(std::uint8_t method);
  void _signed_in();
  void _reply_read(std::size_t address_at, std::size_t address_length);

  Plan _plan;
  Step _step = Step::done;
  std::size_t _needed = 0;  // bytes of the current message, all of it
  std::string _message;     // what was taken of it so far
  std::string _output;
  Reply _reply;
};

// Blocking forms for connections that wait for each answer.
SOCKS5_HANDLER_EXPORT void sign_in(Socket& proxy, const std::string& username, const std::string& password,
                                   Deadline deadline);
// The reply to a request, the bound address consumed exactly: a tunnel's first bytes follow it.
SOCKS5_HANDLER_EXPORT Reply read_reply(Socket& proxy, Deadline deadline);

// Readable text of a reply code.
SOCKS5_HANDLER_EXPORT std::string reply_text(std::uint8_t code);

}  // namespace tovix::socks5
