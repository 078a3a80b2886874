#include "engine/relay/socks5_protocol.h"

#include <algorithm>
#include <span>
#include <utility>

#include "engine/relay/upstream_handler.h"

namespace tovix::socks5 {
namespace {

// Messages are built as byte strings; std::string keeps GCC's overflow checker quiet where
// std::vector<uint8_t> inserts trip it at -O3.
void append_byte(std::string& message, unsigned value) { message.push_back(static_cast<char>(value & 0xFF)); }

std::uint8_t byte_at(const std::string& message, std::size_t at) { return static_cast<std::uint8_t>(message[at]); }

}  // namespace

Exchange::Exchange(Plan plan) : _plan(std::move(plan)) {
  if (!_plan.sign_in) {
    _signed_in();
    return;
  }
  if (_plan.username.size() > 255 || _plan.password.size() > 255) {
    throw ProtocolError("user name and password are limited to 255 bytes each");
  }
  const bool offer_password = !_plan.username.empty();
  append_byte(_output, VERSION);
  append_byte(_output, offer_password ? 2 : 1);
  append_byte(_output, METHOD_NO_AUTH);
  if (offer_password) append_byte(_output, METHOD_USER_PASSWORD);
  _expect(Step::method, 2);
}

std::string Exchange::take_output() { return std::exchange(_output, {}); }

std::size_t Exchange::take_input(std::string_view received) {
  std::size_t taken = 0;
  while (taken < received.size() && !done()) {
    const std::size_t count = std::min(received.size() - taken, _needed - _message.size());
    _message.append(received.substr(taken, count));
    taken += count;
    if (_message.size() == _needed) _message_complete();
  }
  return taken;
}

void Exchange::input_ended() { throw SocketError("connection closed by peer"); }

void Exchange::_expect(Step step, std::size_t bytes) {
  _step = step;
  _needed = bytes;
}

void Exchange::_message_complete() {
  switch (_step) {
    case Step::method:
      if (byte_at(_message, 0) != VERSION) {
        throw ProtocolError("not a SOCKS5 proxy (answered version " + std::to_string(byte_at(_message, 0)) + ")");
      }
      _method_chosen(byte_at(_message, 1));
      return;
    case Step::sign_in:
      if (byte_at(_message, 1) != 0) throw ProtocolError("user name or password rejected by the SOCKS5 proxy");
      _signed_in();
      return;
    case Step::reply_head:
      if (byte_at(_message, 0) != VERSION) {
        throw ProtocolError("malformed reply (version " + std::to_string(byte_at(_message, 0)) + ")");
      }
      switch (byte_at(_message, 3)) {
        case ADDRESS_IPV4:
          _needed += 4 + 2;
          _step = Step::reply_address;
          return;
        case ADDRESS_IPV6:
          _needed += 16 + 2;
          _step = Step::reply_address;
          return;
        case ADDRESS_DOMAIN:
          _needed += 1;
          _step = Step::reply_name_length;
          return;
        default:
          throw ProtocolError("malformed reply (address type " + std::to_string(byte_at(_message, 3)) + ")");
      }
    case Step::reply_name_length:
      _needed += byte_at(_message, 4) + 2u;
      _step = Step::reply_address;
      return;
    case Step::reply_address:
      if (byte_at(_message, 3) == ADDRESS_DOMAIN) {
        _reply_read(5, byte_at(_message, 4));
      } else {
        _reply_read(4, _needed - 4 - 2);
      }
      return;
    case Step::done:
      return;
  }
}

void Exchange::_method_chosen(std::uint8_t method) {
  const bool offer_password = !_plan.username.empty();
  if (method == METHOD_USER_PASSWORD && offer_password) {
    append_byte(_output, AUTH_VERSION);
    append_byte(_output, static_cast<unsigned>(_plan.username.size()));
    _output += _plan.username;
    append_byte(_output, static_cast<unsigned>(_plan.password.size()));
    _output += _plan.password;
    _message.clear();
    _expect(Step::sign_in, 2);
    return;
  }
  if (method == METHOD_NONE_ACCEPTABLE) {
    throw ProtocolError(offer_password ? "no offered authentication method accepted"
                                       : "proxy requires authentication but no user name is set");
  }
  if (method != METHOD_NO_AUTH) {
    throw ProtocolError("proxy chose an authentication method that was not offered (" + std::to_string(method) + ")");
  }
  _signed_in();
}

void Exchange::_signed_in() {
  _output += _plan.request;
  _message.clear();
  if (_plan.read_reply) {
    _expect(Step::reply_head, 4);
  } else {
    _expect(Step::done, 0);
  }
}

void Exchange::_reply_read(std::size_t address_at, std::size_t address_length) {
  _reply.code = byte_at(_message, 1);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(_message.data());
  if (byte_at(_message, 3) == ADDRESS_DOMAIN) {
    _reply.bound_host.assign(_message, address_at, address_length);
  } else {
    _reply.bound_address = IpAddress::from_bytes(std::span<const std::uint8_t>(bytes + address_at, address_length));
  }
  const std::size_t port_at = address_at + address_length;
  _reply.bound_port = static_cast<std::uint16_t>(bytes[port_at] << 8 | bytes[port_at + 1]);
  _message.clear();
  _expect(Step::done, 0);
  on_reply(_reply);
}

void sign_in(Socket& proxy, const std::string& username, const std::string& password, Deadline deadline) {
  Exchange exchange({true, username, password, {}, false});
  run_dialogue(proxy, exchange, deadline);
}

Reply read_reply(Socket& proxy, Deadline deadline) {
  Exchange exchange({false, {}, {}, {}, true});
  run_dialogue(proxy, exchange, deadline);
  return exchange.reply();
}

std::string reply_text(std::uint8_t code) {
  switch (code) {
    case 0x01:
      return "general SOCKS server failure";
    case 0x02:
      return "connection not allowed by ruleset";
    case 0x03:
      return "network unreachable";
    case 0x04:
      return "host unreachable";
    case 0x05:
      return "connection refused by the destination";
    case 0x06:
      return "TTL expired";
    case 0x07:
      return "command not supported";
    case 0x08:
      return "address type not supported";
    default:
      return "unknown reply code " + std::to_string(code);
  }
}

}  // namespace tovix::socks5
