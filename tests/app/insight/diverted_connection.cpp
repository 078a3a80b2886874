#include "tests/app/insight/diverted_connection.h"

#include <gtest/gtest.h>

#include "tests/engine/core/engine_test_support.h"

namespace tovix::testing {

std::shared_ptr<Socket> open_diverted_connection(FakeDiverter& diverter, int dst_port, std::uint32_t pid) {
  using namespace std::chrono_literals;
  auto socket = Socket::create_tcp();
  socket->bind(FAKE_SRC_IP, 0);
  const std::size_t before = diverter.sent().size();
  diverter.push(tcp_packet("10.0.0.5", socket->local_address().second, "127.0.0.1", dst_port, SYN, {}, pid));
  EXPECT_TRUE(diverter.wait_until_idle(30s));
  const auto sent = diverter.sent();
  if (sent.size() != before + 1) {
    ADD_FAILURE() << "the engine sent " << sent.size() - before << " packets for the SYN";
    return socket;
  }
  socket->connect("127.0.0.1", wire_of(sent.back()).dst_port, 10s);
  return socket;
}

}  // namespace tovix::testing
