#include "engine/udp/socks5_udp_association.h"

#include "engine/relay/socks5_protocol.h"

namespace tovix {
namespace {

constexpr const char* KIND = "SOCKS5";

// UDP ASSOCIATE with DST.ADDR 0.0.0.0:0: the address our datagrams will come from is unknown
// behind address translation, and a proxy that holds us to a stated one would drop them.
void request_association(Socket& proxy) {
  const std::uint8_t request[] = {
      socks5::VERSION, socks5::COMMAND_UDP_ASSOCIATE, 0, socks5::ADDRESS_IPV4, 0, 0, 0, 0, 0, 0};
  proxy.send_all(request, sizeof request);
}

// Where datagrams go: the bound address, or the proxy's own where it names none.
IpEndpoint relay_of(const socks5::Reply& reply, Socket& control) {
  if (reply.bound_port == 0) throw ProtocolError("UDP ASSOCIATE reply names no relay port");
  IpAddress address;
  if (reply.bound_address) {
    address = *reply.bound_address;
  } else {
    const auto resolved = resolve_ipv4(reply.bound_host);
    address = *IpAddress::parse(resolved.front());
  }
  if (address.is_unspecified()) address = *IpAddress::parse(control.peer_address().first);
  if (!address.is_v4()) throw ProtocolError("UDP relay " + IpEndpoint{address, reply.bound_port}.text() + " is IPv6");
  return IpEndpoint{address, reply.bound_port};
}

}  // namespace

std::optional<bool> grants_udp_associate(const Socks5Server& server, const HandshakeTimeouts& timeouts,
                                         HandshakeAbort* abort) {
  try {
    Socks5UdpAssociation::open(server, timeouts, abort);
    return true;
  } catch (const UdpAssociateRefused&) {
    return false;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::unique_ptr<Socks5UdpAssociation> Socks5UdpAssociation::open(const Socks5Server& server,
                                                                 const HandshakeTimeouts& timeouts,
                                                                 HandshakeAbort* abort) {
  auto control = open_proxy_connection(KIND, server.host, server.port, timeouts, [abort](const auto& socket) {
    if (abort) abort->watch(socket);
  });
  const auto deadline = std::chrono::steady_clock::now() + timeouts.handshake;
  return during_handshake(KIND, server.host, server.port, [&] {
    socks5::sign_in(*control, server.username, server.password, deadline);
    request_association(*control);
    const socks5::Reply reply = socks5::read_reply(*control, deadline);
    if (reply.code != socks5::REPLY_SUCCEEDED) {
      throw UdpAssociateRefused(
          proxy_failure(KIND, server.host, server.port, "UDP ASSOCIATE refused: " + socks5::reply_text(reply.code)),
          reply.code);
    }
    const IpEndpoint relay = relay_of(reply, *control);
    // From the control connection's own address, which the proxy expects datagrams from.
    auto datagrams = Socket::create_udp();
    // The engine's own: the diversion never hands its datagrams back to the engine.
    datagrams->set_mark(OWN_CONNECTION_MARK);
    datagrams->bind(control->local_address().first, 0);
    datagrams->connect(relay.address.text(), relay.port, timeouts.connect);
    datagrams->set_non_blocking(true);
    return std::make_unique<Socks5UdpAssociation>(std::move(control), std::move(datagrams), relay);
  });
}

Socks5UdpAssociation::Socks5UdpAssociation(std::shared_ptr<Socket> control, std::shared_ptr<Socket> datagrams,
                                           IpEndpoint relay)
    : _control(std::move(control)), _datagrams(std::move(datagrams)), _relay(relay) {}

Socks5UdpAssociation::~Socks5UdpAssociation() {
  _datagrams->close();
  _control->close();
}

void Socks5UdpAssociation::send(const IpEndpoint& destination, std::span<const std::uint8_t> payload) {
  const auto framed = frame_socks_udp(destination, payload);
  if (framed.size() > MAX_UDP_PAYLOAD) throw SocketError("datagram too large for the proxy's relay");
  _datagrams->send_all(framed.data(), framed.size());
}

SocksUdpDatagram Socks5UdpAssociation::receive(std::vector<std::uint8_t>& buffer) {
  buffer.resize(MAX_UDP_PAYLOAD + 1);
  const std::size_t got = _datagrams->receive(buffer.data(), buffer.size());
  buffer.resize(got);
  return unframe_socks_udp(buffer);
}

}  // namespace tovix
