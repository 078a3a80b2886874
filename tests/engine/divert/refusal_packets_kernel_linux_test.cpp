// The built answers handed to a real kernel through a TUN device in a network namespace: the
// kernel reads a packet's checksums and addresses as strictly as the program's own stack will
// on the day, and drops what it does not accept. A program socket sends towards a peer behind
// the TUN device; the test reads that packet off the device and writes the answer back.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <gtest/gtest.h>

#include "engine/divert/ip_layout.h"
#include "engine/divert/refusal_packets.h"
#include "engine/divert/udp_datagram.h"
#include "tests/support/netns_fixture.h"

namespace tovix {
namespace {

using testing::NetnsPair;
using testing::NetnsScope;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWaitMillis = 5000;
constexpr const char* kLocal4 = "10.231.0.1";
constexpr const char* kPeer4 = "10.231.0.2";
constexpr const char* kLocal6 = "fd00:231::1";
constexpr const char* kPeer6 = "fd00:231::2";

class Fd {
 public:
  explicit Fd(int fd = -1) : _fd(fd) {}
  ~Fd() {
    if (_fd >= 0) close(_fd);
  }
  Fd(Fd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return _fd; }

 private:
  int _fd;
};

sockaddr_storage socket_address(const char* text, std::uint16_t port, socklen_t& length) {
  sockaddr_storage storage{};
  const IpAddress address = *IpAddress::parse(text);
  if (address.is_v4()) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    std::memcpy(&v4.sin_addr, address.bytes().data(), 4);
    length = sizeof v4;
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, address.bytes().data(), 16);
    length = sizeof v6;
  }
  return storage;
}

bool wait_for(int fd, short events) {
  pollfd entry{fd, events, 0};
  return poll(&entry, 1, kWaitMillis) == 1;
}

class KernelAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    _pair = std::make_unique<NetnsPair>();
    _scope = std::make_unique<NetnsScope>(_pair->client());
    ifreq request{};
    std::strncpy(request.ifr_name, "tovixtun", IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    _tun = std::make_unique<Fd>(open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (_tun->get() < 0) GTEST_SKIP() << "no /dev/net/tun";
    ASSERT_EQ(ioctl(_tun->get(), TUNSETIFF, &request), 0) << std::strerror(errno);
    const std::string& ns = _pair->client();
    NetnsPair::run_ok(ns, {"ip", "addr", "add", std::string(kLocal4) + "/24", "dev", "tovixtun"});
    NetnsPair::run_ok(ns, {"ip", "-6", "addr", "add", std::string(kLocal6) + "/64", "dev", "tovixtun", "nodad"});
    NetnsPair::run_ok(ns, {"ip", "link", "set", "tovixtun", "up"});
  }

  // A socket of `type` bound to the local address of the peer's family.
  Fd program_socket(const char* peer, int type) {
    const bool v4 = IpAddress::parse(peer)->is_v4();
    Fd fd(socket(v4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    socklen_t length = 0;
    const auto local = socket_address(v4 ? kLocal4 : kLocal6, 0, length);
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), length), 0) << std::strerror(errno);
    return fd;
  }

  static void connect_to(const Fd& fd, const char* peer, std::uint16_t port) {
    socklen_t length = 0;
    const auto address = socket_address(peer, port, length);
    const int result = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length);
    ASSERT_TRUE(result == 0 || errno == EINPROGRESS) << std::strerror(errno);
  }

  // The next packet the kernel sends through the device towards `peer` with `protocol`
  // (router solicitations and the like are skipped).
  Bytes sent_to(const char* peer, std::uint8_t protocol) {
    const IpAddress wanted = *IpAddress::parse(peer);
    for (;;) {
      if (!wait_for(_tun->get(), POLLIN)) return {};
      Bytes packet(65536);
      const ssize_t got = read(_tun->get(), packet.data(), packet.size());
      if (got <= 0) return {};
      packet.resize(static_cast<std::size_t>(got));
      const auto layout = read_ip_layout(packet);
      if (layout && layout->destination == wanted && layout->protocol == protocol) return packet;
    }
  }

  void hand_to_kernel(const Bytes& packet) {
    ASSERT_EQ(write(_tun->get(), packet.data(), packet.size()), static_cast<ssize_t>(packet.size()))
        << std::strerror(errno);
  }

  std::unique_ptr<NetnsPair> _pair;
  std::unique_ptr<NetnsScope> _scope;
  std::unique_ptr<Fd> _tun;
};

TEST_F(KernelAnswerTest, PortUnreachableRefusesAConnectedUdpSocket) {
  for (const char* peer : {kPeer4, kPeer6}) {
    SCOPED_TRACE(peer);
    Fd program = program_socket(peer, SOCK_DGRAM);
    connect_to(program, peer, 443);
    ASSERT_EQ(send(program.get(), "quic", 4, 0), 4);
    const Bytes datagram = sent_to(peer, IP_PROTOCOL_UDP);
    ASSERT_FALSE(datagram.empty()) << "the datagram never reached the device";
    const auto answer = build_port_unreachable(datagram);
    ASSERT_TRUE(answer.has_value());
    hand_to_kernel(*answer);

    ASSERT_TRUE(wait_for(program.get(), POLLIN | POLLERR)) << "the kernel did not take the answer";
    char buffer[16];
    EXPECT_EQ(recv(program.get(), buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
  }
}

TEST_F(KernelAnswerTest, BuiltDatagramsReachTheProgramFromTheirSource) {
  for (const char* peer : {kPeer4, kPeer6}) {
    SCOPED_TRACE(peer);
    Fd program = program_socket(peer, SOCK_DGRAM);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(program.get(), reinterpret_cast<sockaddr*>(&local), &length);
    const std::uint16_t port = ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
    const Bytes answer{'a', 'n', 's', 'w', 'e', 'r'};
    const bool v4 = IpAddress::parse(peer)->is_v4();
    hand_to_kernel(
        build_udp_datagram({*IpAddress::parse(peer), 53}, {*IpAddress::parse(v4 ? kLocal4 : kLocal6), port}, answer));

    ASSERT_TRUE(wait_for(program.get(), POLLIN)) << "the kernel dropped the datagram";
    char buffer[16];
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t got =
        recvfrom(program.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    ASSERT_EQ(got, 6);
    EXPECT_EQ(Bytes(buffer, buffer + got), answer);
    socklen_t expected_length = 0;
    const auto expected = socket_address(peer, 53, expected_length);
    EXPECT_EQ(from_length, expected_length);
    EXPECT_EQ(std::memcmp(&from, &expected, expected_length), 0) << "from the peer's address and port";
  }
}

TEST_F(KernelAnswerTest, ResetRefusesAConnectingTcpSocket) {
  for (const char* peer : {kPeer4, kPeer6}) {
    SCOPED_TRACE(peer);
    Fd program = program_socket(peer, SOCK_STREAM);
    connect_to(program, peer, 443);
    const Bytes syn = sent_to(peer, IP_PROTOCOL_TCP);
    ASSERT_FALSE(syn.empty()) << "the SYN never reached the device";
    const auto reset = build_tcp_reset(syn);
    ASSERT_TRUE(reset.has_value());
    hand_to_kernel(*reset);

    ASSERT_TRUE(wait_for(program.get(), POLLOUT)) << "the kernel did not take the reset";
    int error = 0;
    socklen_t length = sizeof error;
    ASSERT_EQ(getsockopt(program.get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    EXPECT_EQ(error, ECONNREFUSED);
  }
}

}  // namespace
}  // namespace tovix
