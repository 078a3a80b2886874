#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/console_fake.h"
#include "tests/support/loopback_server.h"
#include "tests/ui/plan_dialog/dialog_fixture.h"
#include "ui/plan_dialog/public_ip_lookup.h"
#include "ui/plan_dialog/public_ip_sources.h"

namespace tovix::testing {
namespace {

using Parser = PublicIpParser;

struct ParseCase {
  const char* name;
  friend void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }
  Parser parser;
  std::string body;
  std::optional<std::string> address;
};

class PublicIpParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PublicIpParsing, FindsTheAddressOrNothing) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(parse_public_ip(c.body, c.parser), c.address);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PublicIpParsing,
    ::testing::Values(
        ParseCase{"line_tab_and_blanks", Parser::line_format, "IP\t: 1.2.3.4 \n地址\t: 中国 北京\n", "1.2.3.4"},
        ParseCase{"line_empty_then_next", Parser::line_format, "ip:\n\nIp : 5.6.7.8", "5.6.7.8"},
        ParseCase{"line_second_piece_only", Parser::line_format, "IP: 9.9.9.9 : more", "9.9.9.9"},
        ParseCase{"line_crlf_and_indent", Parser::line_format, "\r\n  iP:10.0.0.1\r\nURL: x\r\n", "10.0.0.1"},
        ParseCase{"line_unchecked_text", Parser::line_format, "IP: unknown", "unknown"},
        ParseCase{"line_no_colon", Parser::line_format, "IP 1.2.3.4", std::nullopt},
        ParseCase{"line_other_label", Parser::line_format, "address: 1.2.3.4\n", std::nullopt},
        ParseCase{"quad_in_sentence", Parser::dotted_quad, "当前 IP：203.0.113.7  来自于：中国", "203.0.113.7"},
        ParseCase{"quad_first_of_two", Parser::dotted_quad, "v1.2.3 from 10.20.30.40 via 1.1.1.1", "10.20.30.40"},
        ParseCase{"quad_none", Parser::dotted_quad, "no address here", std::nullopt},
        ParseCase{"json_trimmed", Parser::json_origin, R"({"origin": "  198.51.100.2 "})", "198.51.100.2"},
        ParseCase{"json_missing_origin", Parser::json_origin, R"({"ip": "1.2.3.4"})", std::nullopt},
        ParseCase{"json_empty_origin", Parser::json_origin, R"({"origin": "  "})", std::nullopt},
        ParseCase{"json_not_an_object", Parser::json_origin, R"(["1.2.3.4"])", std::nullopt},
        ParseCase{"json_not_json", Parser::json_origin, "1.2.3.4", std::nullopt}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(PublicIpSources, DefaultsArePlainHttpInTheThreeKinds) {
  const std::vector<PublicIpSource> sources = default_public_ip_sources();
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_EQ(sources[0].parser, Parser::line_format);
  EXPECT_EQ(sources[1].parser, Parser::dotted_quad);
  EXPECT_EQ(sources[2].parser, Parser::json_origin);
  for (const PublicIpSource& source : sources) EXPECT_EQ(source.url.rfind("http://", 0), 0u) << source.url;
  EXPECT_TRUE(sources[2].url.ends_with("/ip"));
}

// A what-is-my-IP service on loopback answering GET of `path`.
std::unique_ptr<ConsoleFake> service(const std::string& path, int status, const std::string& body,
                                     const std::string& type = "text/plain") {
  auto fake = std::make_unique<ConsoleFake>();
  fake->answer("GET", path, FakeAnswer{status, body, type, {}});
  return fake;
}

constexpr std::chrono::milliseconds kShortTimeout{400};

TEST(PublicIpLookup, AsksInOrderAndStopsAtTheFirstAddress) {
  auto first = service("/", 200, "IP\t: 192.0.2.1\n");
  auto second = service("/", 200, "192.0.2.2");
  auto third = service("/ip", 200, R"({"origin": "192.0.2.3"})", "application/json");
  const std::vector<PublicIpSource> sources = {{first->base_url() + "/", Parser::line_format},
                                               {second->base_url() + "/", Parser::dotted_quad},
                                               {third->base_url() + "/ip", Parser::json_origin}};
  EXPECT_EQ(lookup_public_ip(sources, kShortTimeout), "192.0.2.1");
  EXPECT_EQ(first->request_count(), 1u);
  EXPECT_EQ(second->request_count(), 0u);
  EXPECT_EQ(third->request_count(), 0u);
}

TEST(PublicIpLookup, ErrorStatusTimeOutRefusalAndEmptyAnswersFallThrough) {
  auto error_status = service("/", 500, "IP: 192.0.2.9");
  LoopbackServer silent(never_answer());
  const int refused = [] {
    LoopbackServer gone(close_at_once());
    return gone.port();
  }();
  auto blank = service("/", 200, "  \n ");
  auto garbled = service("/", 200, "\xff\xfe 192.0.2.8");
  auto no_address = service("/", 200, "hello");
  auto echo = service("/ip", 200, R"({"origin": " 192.0.2.4 "})", "application/json");
  const std::vector<PublicIpSource> sources = {
      {error_status->base_url() + "/", Parser::line_format},
      {"http://127.0.0.1:" + std::to_string(silent.port()) + "/", Parser::dotted_quad},
      {"http://127.0.0.1:" + std::to_string(refused) + "/", Parser::dotted_quad},
      {blank->base_url() + "/", Parser::dotted_quad},
      {garbled->base_url() + "/", Parser::dotted_quad},
      {no_address->base_url() + "/", Parser::dotted_quad},
      {echo->base_url() + "/ip", Parser::json_origin}};
  EXPECT_EQ(lookup_public_ip(sources, kShortTimeout), "192.0.2.4");
  EXPECT_EQ(error_status->request_count(), 1u);
  EXPECT_EQ(echo->request_count(), 1u);
}

TEST(PublicIpLookup, NothingWhenEverySourceFails) {
  auto missing = service("/elsewhere", 200, "192.0.2.5");  // "/" gets 404
  EXPECT_EQ(lookup_public_ip({{missing->base_url() + "/", Parser::dotted_quad}}, kShortTimeout), std::nullopt);
  EXPECT_EQ(lookup_public_ip({}, kShortTimeout), std::nullopt);
}

}  // namespace
}  // namespace tovix::testing
