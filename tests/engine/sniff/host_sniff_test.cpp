// Host names from a client's first bytes: real ClientHellos cut at every byte, rebuilt into
// several records, and hellos and requests with hostile or missing parts.
#include <gtest/gtest.h>

#include <vector>

#include "common/host_address.h"
#include "engine/sniff/host_sniffer.h"
#include "tests/engine/sniff/captured_hellos.h"
#include "tests/engine/sniff/hello_builder.h"
#include "tests/engine/sniff/sniff_printing.h"

namespace tovix::testing {
namespace {

const SniffResult NEED_MORE = SniffResult::need_more();
const SniffResult NO_NAME = SniffResult::no_name();
SniffResult name(const std::string& host) { return SniffResult::found(host); }

// Every proper prefix asks for more and the whole gives `expected`: what the relay sees
// when the bytes arrive in any number of segments.
void expect_only_whole_decides(const std::string& bytes, const SniffResult& expected, const std::string& label) {
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    ASSERT_EQ(sniff_host_name(std::string_view(bytes).substr(0, cut)), NEED_MORE) << label << " cut at " << cut;
  }
  EXPECT_EQ(sniff_host_name(bytes), expected) << label;
}

struct Captured {
  const std::string& hello;
  SniffResult expected;
  const char* label;
};

TEST(TlsServerName, CapturedHellosCutAtEveryByte) {
  const std::vector<Captured> hellos{{OPENSSL_HELLO, name("www.example.org"), "openssl"},
                                     {CURL_HELLO, name("sni.example.test"), "curl"},
                                     {CURL_TLS12_HELLO, name("tls12.example.test"), "curl tls1.2"},
                                     {OPENSSL_NAMELESS_HELLO, NO_NAME, "openssl without a name"}};
  for (const Captured& captured : hellos) {
    expect_only_whole_decides(captured.hello, captured.expected, captured.label);
    // What follows the hello (early data, a second record) changes nothing.
    EXPECT_EQ(sniff_host_name(captured.hello + std::string("\x17\x03\x03\x00\x01X", 6)), captured.expected);
  }
}

TEST(TlsServerName, HelloSpreadOverSeveralRecords) {
  const std::string message = handshake_of(OPENSSL_HELLO);
  for (const std::size_t fragment : {1u, 3u, 4u, 5u, 100u}) {
    expect_only_whole_decides(in_records(message, fragment), name("www.example.org"),
                              "fragments of " + std::to_string(fragment));
  }
}

TEST(TlsServerName, NamesThatAreNoHostNamesGoByAddress) {
  const std::vector<std::pair<std::string, SniffResult>> cases{
      {"Mixed.Example.COM", name("mixed.example.com")},
      {"trailing.dot.example.", name("trailing.dot.example")},
      {std::string(63, 'a') + ".example", name(std::string(63, 'a') + ".example")},
      {std::string(64, 'a') + ".example", NO_NAME},
      {std::string(250, 'a').replace(50, 1, ".").replace(100, 1, ".").replace(150, 1, ".").replace(200, 1, ".") +
           ".com",
       NO_NAME},  // 254 characters
      {"192.0.2.1", NO_NAME},
      {"127.1", NO_NAME},
      {"0x7f000001", NO_NAME},
      {"bücher.example", NO_NAME},
      {"space .example", NO_NAME},
      {std::string("nul\0.example", 12), NO_NAME},
      {"a..b", NO_NAME},
  };
  for (const auto& [host, expected] : cases) {
    EXPECT_EQ(sniff_host_name(client_hello({server_name_extension(host)})), expected) << host;
  }
}

TEST(TlsServerName, MalformedOrHostileHellos) {
  const std::string good_sni = server_name_extension("ok.example");
  const std::vector<std::pair<std::string, std::string>> cases{
      {"no extensions at all", in_records(handshake(hello_body("")))},
      {"an empty extension block", client_hello({})},
      {"server name in an encrypted hello's outer part", client_hello({good_sni, extension(0xfe0d, "\x00\x00\x01")})},
      {"two server name extensions", client_hello({good_sni, server_name_extension("other.example")})},
      {"server name list longer than its extension",
       client_hello({extension(0, std::string("\x00\x20\x00\x00\x02ok", 7))})},
      {"name longer than its list", client_hello({extension(0, std::string("\x00\x05\x00\x00\x09ok.ex", 10))})},
      {"empty name", client_hello({extension(0, std::string("\x00\x03\x00\x00\x00", 5))})},
      {"only a non-host name type", client_hello({extension(0, std::string("\x00\x05\x01\x00\x02ok", 7))})},
      {"extension longer than the block", client_hello({std::string("\x00\x00\x01\x00", 4) + "x"})},
      {"session id of 33 bytes", in_records(handshake(hello_body(block({good_sni}), std::string(33, 's'))))},
      {"odd cipher suite length",
       in_records(handshake(hello_body(block({good_sni}), "", std::string("\x13\x01\x13", 3))))},
      {"no compression method", in_records(handshake(hello_body(block({good_sni}), "", "\x13\x01", "")))},
      {"not a ClientHello", in_records(std::string("\x02") + handshake(hello_body(block({good_sni}))).substr(1))},
      {"an alert record", std::string("\x15\x03\x03\x00\x02\x02\x28", 7)},
      {"record version 2", std::string("\x16\x02\x00\x00\x04\x01\x00\x00\x00", 9)},
      {"empty record", std::string("\x16\x03\x01\x00\x00", 5)},
      {"record beyond 16 KiB", std::string("\x16\x03\x01\x40\x01", 5)},
      {"hello announced as 16 MiB", std::string("\x16\x03\x01\x00\x04\x01\xff\xff\xff", 9)},
      {"an SSLv2 compatible hello", std::string("\x80\x2e\x01\x03\x01", 5)},
  };
  for (const auto& [label, bytes] : cases) EXPECT_EQ(sniff_host_name(bytes), NO_NAME) << label;

  // The handshake body ends with the block, so extra bytes after it mean a length is wrong.
  std::string trailing = handshake(hello_body(block({good_sni}) + "X"));
  EXPECT_EQ(sniff_host_name(in_records(trailing)), NO_NAME);
}

// Every byte of a real hello set to each extreme: whatever the lengths then claim, parsing
// stays inside the bytes (the sanitizer builds watch) and a name, when one comes out, is a
// well-formed host name.
TEST(TlsServerName, EveryByteOverwrittenStaysBounded) {
  for (std::size_t at = 0; at < CURL_HELLO.size(); ++at) {
    for (const char value : {'\x00', '\xff', '\x7f', '.'}) {
      std::string bytes = CURL_HELLO;
      bytes[at] = value;
      const SniffResult result = sniff_host_name(bytes);
      if (result.outcome == SniffOutcome::name) {
        EXPECT_EQ(normalize_host_name(result.name), result.name) << at;
      }
    }
  }
}

TEST(HttpHost, RequestsTable) {
  const std::vector<std::pair<std::string, SniffResult>> cases{
      {"GET / HTTP/1.1\r\nHost: www.example.com\r\n\r\n", name("www.example.com")},
      {"POST /form HTTP/1.0\r\nUser-Agent: x\r\nhOsT:\t Api.Example.com:8080 \r\n\r\nbody", name("api.example.com")},
      {"OPTIONS * HTTP/1.1\nHost: lf.example\n\n", name("lf.example")},
      {"GET / HTTP/1.1\r\nX-Host: fake.example\r\nHost: real.example\r\n\r\n", name("real.example")},
      {"GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", NO_NAME},
      {"GET / HTTP/1.1\r\nHost: 192.0.2.7:80\r\n\r\n", NO_NAME},
      {"GET / HTTP/1.1\r\nHost: [2001:db8::1]:80\r\n\r\n", NO_NAME},
      {"GET / HTTP/1.1\r\nHost: bücher.example\r\n\r\n", NO_NAME},
      {"GET / HTTP/1.1\r\nHost: " + std::string(254, 'a') + "\r\n\r\n", NO_NAME},
      {"GET / HTTP/1.1\r\nHost: example.com:http\r\n\r\n", NO_NAME},
      {"GET / HTTP/1.1\r\nHost: \r\n\r\n", NO_NAME},
      {"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n", NO_NAME},
      {"GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n", NO_NAME},
      {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", NO_NAME},
      {"GET /\r\n", NO_NAME},
      {"get / HTTP/1.1\r\nHost: a.example\r\n\r\n", NO_NAME},
      {"SSH-2.0-OpenSSH_9.2\r\n", NO_NAME},
      {std::string(21, 'G') + " / HTTP/1.1\r\n", NO_NAME},
      {std::string("\x00\x01\x02\x03", 4), NO_NAME},
  };
  for (const auto& [request, expected] : cases) EXPECT_EQ(sniff_host_name(request), expected) << request;
}

TEST(HttpHost, WaitsForTheHostLineAndNoLongerThanTheHeadLimit) {
  expect_only_whole_decides("GET /index.html HTTP/1.1\r\nAccept: */*\r\nHost: split.example\r\n", name("split.example"),
                            "cut request");
  // A head without a Host line that never ends is given up at the limit, not waited for.
  const std::string endless = "GET / HTTP/1.1\r\nX-Padding: " + std::string(MAX_REQUEST_HEAD_BYTES, 'p');
  EXPECT_EQ(sniff_host_name(endless.substr(0, MAX_REQUEST_HEAD_BYTES - 1)), NEED_MORE);
  EXPECT_EQ(sniff_host_name(endless), NO_NAME);
  const std::string endless_line = "GET /" + std::string(MAX_REQUEST_HEAD_BYTES + 1, 'a');
  EXPECT_EQ(sniff_host_name(endless_line), NO_NAME);
}

TEST(HostSniffer, ServerFirstPorts) {
  for (const int port : {21, 22, 25, 110, 143, 465, 587, 993, 995}) EXPECT_TRUE(server_speaks_first(port)) << port;
  for (const int port : {0, 20, 23, 53, 80, 443, 8080, 65535}) EXPECT_FALSE(server_speaks_first(port)) << port;
}

}  // namespace
}  // namespace tovix::testing
