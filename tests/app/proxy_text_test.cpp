// Proxy addresses from text: the extraction link's answer and an imported product's address.
#include <gtest/gtest.h>

#include "app/core/proxy_text.h"

namespace tovix::testing {
namespace {

using app::parse_extraction_answer;
using Json = nlohmann::ordered_json;

Json entry(const char* type, const char* host, int port, const char* user, const char* pass) {
  return app::make_proxy_entry(type, host, port, user, pass);
}

TEST(ExtractionAnswer, LinesWithAndWithoutOwnCredentials) {
  const auto crlf = parse_extraction_answer("1.2.3.4:1080\r\n5.6.7.8:2080\r\n", "socks5", "apiU", "apiP");
  EXPECT_TRUE(crlf.problem.empty());
  EXPECT_EQ(crlf.entries, Json::array({entry("socks5", "1.2.3.4", 1080, "apiU", "apiP"),
                                       entry("socks5", "5.6.7.8", 2080, "apiU", "apiP")}));

  // LF, blank lines, a line of its own credentials (the password keeps its colons), junk skipped.
  const auto mixed = parse_extraction_answer(
      "\n proxy.example.com:3128 \nbad line\n9.9.9.9:80:own:pa:ss\n1.1.1.1:99999\n", "http", "", "");
  EXPECT_EQ(mixed.entries, Json::array({entry("http", "proxy.example.com", 3128, "", ""),
                                        entry("http", "9.9.9.9", 80, "own", "pa:ss")}));
}

TEST(ExtractionAnswer, ErrorsKeepNoEntryAndSayWhy) {
  const auto json = parse_extraction_answer(R"({"code":121,"msg":"余额不足","success":false})", "socks5", "", "");
  EXPECT_TRUE(json.entries.empty());
  EXPECT_EQ(json.problem, "提取接口返回: 余额不足");

  const auto text = parse_extraction_answer("白名单未添加\r\n", "socks5", "", "");
  EXPECT_TRUE(text.entries.empty());
  EXPECT_EQ(text.problem, "提取结果中没有代理地址: 白名单未添加");

  EXPECT_EQ(parse_extraction_answer(" \r\n", "socks5", "", "").problem, "提取结果为空");
  // A JSON answer's lines are never taken for addresses.
  EXPECT_TRUE(parse_extraction_answer("{\"a\":1}", "socks5", "", "").entries.empty());
}

TEST(ProductAddress, SplitAtTheLastColonWithAValidPort) {
  EXPECT_EQ(app::entry_from_product("10.0.0.3:803", "u3", "p3", "socks5"),
            entry("socks5", "10.0.0.3", 803, "u3", "p3"));
  EXPECT_EQ(app::entry_from_product(" host.cn : 8080 ", "u", "p", "http"), entry("http", "host.cn", 8080, "u", "p"));
  for (const char* bad : {"10.0.0.3", "10.0.0.3:", ":80", "10.0.0.3:0", "10.0.0.3:65536", "10.0.0.3:8o", "a b:80"}) {
    EXPECT_FALSE(app::entry_from_product(bad, "u", "p", "socks5")) << bad;
  }
}

}  // namespace
}  // namespace tovix::testing
