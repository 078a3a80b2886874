// DNS messages on a TCP stream, and SERVFAIL answers.
#include <gtest/gtest.h>

#include "engine/udp/dns_message.h"

namespace tovix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes query_for(const std::string& name, std::uint16_t id) {
  Bytes query{static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  std::size_t start = 0;
  while (start < name.size()) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    query.push_back(static_cast<std::uint8_t>(dot - start));
    query.insert(query.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                 name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  query.insert(query.end(), {0, 0, 28, 0, 1});  // AAAA, IN
  return query;
}

TEST(DnsStreamReaderTest, MessagesComeOutWholeHoweverTheStreamIsCut) {
  const Bytes first = query_for("example.test", 1), second = query_for("a.b.example.test", 2);
  Bytes stream = frame_dns_message(first);
  const Bytes framed_second = frame_dns_message(second);
  stream.insert(stream.end(), framed_second.begin(), framed_second.end());
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    DnsStreamReader reader;
    std::vector<Bytes> messages;
    ASSERT_TRUE(reader.feed(std::span(stream).first(cut), messages));
    ASSERT_TRUE(reader.feed(std::span(stream).subspan(cut), messages));
    ASSERT_EQ(messages.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(messages[0], first);
    EXPECT_EQ(messages[1], second);
    EXPECT_FALSE(reader.mid_message());
  }
  DnsStreamReader reader;
  std::vector<Bytes> messages;
  EXPECT_FALSE(reader.feed(Bytes{0, 5, 1, 2, 3, 4, 5}, messages)) << "shorter than a header";
}

TEST(DnsServerFailureTest, AnswersKeepIdAndQuestion) {
  const Bytes query = query_for("example.test", 0xBEEF);
  const auto answer = dns_server_failure(query);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->size(), query.size()) << "header and the question";
  EXPECT_EQ(dns_message_id(*answer), 0xBEEF);
  EXPECT_EQ((*answer)[2], 0x81) << "a response, recursion desired kept";
  EXPECT_EQ((*answer)[3] & 0x0F, 2) << "SERVFAIL";
  EXPECT_TRUE(std::equal(query.begin() + 12, query.end(), answer->begin() + 12));
  EXPECT_FALSE(is_dns_query(*answer));
  EXPECT_TRUE(is_dns_query(query));

  Bytes compressed = query;
  compressed[12] = 0xC0;  // a name pointer has no place in a query: the question is left out
  const auto bare = dns_server_failure(compressed);
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->size(), 12u);
  EXPECT_EQ((*bare)[5], 0);
  EXPECT_FALSE(dns_server_failure(Bytes(11, 0)));
}

}  // namespace
}  // namespace tovix
