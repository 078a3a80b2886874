#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/api/client_fixture.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

std::string request_failure(ToVixProxyClient& client, const std::string& method = "GET",
                            const std::string& path = "/console/v1/ping") {
  try {
    client._request(method, path);
  } catch (const RequestError& error) {
    return error.what();
  }
  ADD_FAILURE() << "no request failure";
  return {};
}

TEST_F(ClientTest, UrlsAreRootPlusPathAndEveryRequestCarriesTheJsonHeaders) {
  ToVixProxyClient slashes(console.base_url() + "//", std::string());
  EXPECT_EQ(slashes.base_url(), console.base_url());
  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});
  EXPECT_EQ(slashes._request("GET", "/console/v1/ping"), (ordered_json{{"ok", true}}));

  const RecordedRequest get = console.last();
  EXPECT_EQ(get.path, "/console/v1/ping");
  EXPECT_EQ(get.header("Content-Type"), "application/json") << "also on a GET without body";
  EXPECT_EQ(get.header("Accept"), "application/json");
  EXPECT_EQ(get.header("Authorization"), std::nullopt) << "an empty token is no sign-in";

  console.answer_json("POST", "/console/v1/ping", {{"ok", true}});
  member._request("post", "/console/v1/ping", ordered_json{{"b", 1}, {"a", "中"}}, ordered_json{{"ignored", 1}});
  const RecordedRequest post = console.last();
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.query, "") << "params belong to GET only";
  EXPECT_EQ(post.json_body().dump(), R"({"b":1,"a":"中"})");
  EXPECT_EQ(post.header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(post.header("Content-Type"), "application/json");

  member._request("POST", "/console/v1/ping");
  EXPECT_EQ(console.last().body, "") << "no data, no body";
}

TEST_F(ClientTest, ATokenWithALineBreakCannotAddHeaders) {
  ToVixProxyClient smuggler(console.base_url(), std::string("abc\r\nX-Admin: 1"));
  EXPECT_TRUE(request_failure(smuggler).starts_with("网络请求异常: "));
  EXPECT_TRUE(smuggler.verify_captcha("t", "c")["message"].get<std::string>().starts_with("校验验证码异常: "));
  EXPECT_EQ(smuggler.get_products()["success"], false);
  EXPECT_EQ(console.request_count(), 0u);
}

TEST_F(ClientTest, QueryKeepsOrderAndEmptyTextsAndDropsAbsentValues) {
  console.answer_json("GET", "/q", ordered_json::array({1, 2}));
  const ordered_json params = {{"z", "a b&c=d+e"}, {"gone", nullptr}, {"empty", ""}, {"page", 3}, {"cn", "中"}};
  EXPECT_EQ(anonymous._request("get", "/q", std::nullopt, params), ordered_json::array({1, 2}))
      << "a 200 answer holding an array is returned as it is";
  const RecordedRequest request = console.last();
  EXPECT_EQ(request.query, "z=a+b%26c%3Dd%2Be&empty=&page=3&cn=%E4%B8%AD");
  EXPECT_EQ(request.params, (Fields{{"z", "a b&c=d+e"}, {"empty", ""}, {"page", "3"}, {"cn", "中"}}));
}

TEST_F(ClientTest, OnlyGetAndPostAreSupported) {
  try {
    anonymous._request("PUT", "/console/v1/ping");
    FAIL() << "PUT was sent";
  } catch (const RequestError&) {
    FAIL() << "an unsupported method is not a request failure";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "不支持的 HTTP 方法: PUT");
  }
  EXPECT_EQ(console.request_count(), 0u);
}

TEST_F(ClientTest, RefusedAnswersCarryTheConsoleMessageOrTheStartOfTheBody) {
  const auto answer = [&](int status, std::string body, std::string type = "application/json") {
    console.answer("GET", "/console/v1/ping", FakeAnswer{status, std::move(body), std::move(type), {}});
    return request_failure(anonymous);
  };
  EXPECT_EQ(answer(500, R"({"message":"维护中","msg":"other"})"), "服务器返回 500: 维护中");
  EXPECT_EQ(answer(500, R"({"msg":"bad"})"), "服务器返回 500: bad");
  EXPECT_EQ(answer(500, R"({"message":7})"), "服务器返回 500: 7") << "a number is written as text";
  EXPECT_EQ(answer(201, R"({"msg":"created"})"), "服务器返回 201: created") << "only 200 is accepted";
  EXPECT_EQ(answer(500, R"(["msg"])"), R"(服务器返回 500: ["msg"])");

  const std::string html = "<html>" + std::string(994, 'x');
  EXPECT_EQ(answer(502, html, "text/html"), "服务器返回 502: " + html.substr(0, 200));

  std::string chinese;
  for (int i = 0; i < 300; ++i) chinese += "错";
  std::string first_200;
  for (int i = 0; i < 200; ++i) first_200 += "错";
  EXPECT_EQ(answer(503, chinese, "text/plain"), "服务器返回 503: " + first_200) << "characters, not bytes";

  const std::string garbage = answer(500, "\xff\xfe bad \xc3", "text/plain");
  EXPECT_EQ(garbage, "服务器返回 500: \xEF\xBF\xBD\xEF\xBF\xBD bad \xEF\xBF\xBD");
  EXPECT_NO_THROW(ordered_json(garbage).dump()) << "the text must be valid UTF-8";
}

TEST_F(ClientTest, AcceptedAnswersThatAreNotJsonFail) {
  for (const std::string body : {"<html>ok</html>", "", "{\"a\":\"\xff\"}"}) {
    console.answer("GET", "/console/v1/ping", FakeAnswer{200, body, "text/html", {}});
    EXPECT_EQ(request_failure(anonymous), "服务器返回数据格式异常") << body;
  }
}

TEST_F(ClientTest, LargeAndDeepAnswersNeitherCrashNorHang) {
  // Sent uncompressed (octet-stream), as a console that does not compress would.
  const std::string big(3 * 1024 * 1024, 'a');
  console.answer("GET", "/big", FakeAnswer{200, ordered_json{{"data", big}}.dump(), "application/octet-stream", {}});
  EXPECT_EQ(anonymous._request("GET", "/big")["data"].get<std::string>().size(), big.size());

  console.answer("GET", "/huge", FakeAnswer{200, std::string(40 * 1024 * 1024, ' '), "application/octet-stream", {}});
  EXPECT_EQ(request_failure(anonymous, "GET", "/huge"), "网络请求异常: 服务器响应过大");

  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  console.answer("GET", "/deep", FakeAnswer{200, deep, "application/json", {}});
  EXPECT_TRUE(anonymous._request("GET", "/deep").is_array());

  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});
  EXPECT_NO_THROW(anonymous._request("GET", "/console/v1/ping")) << "the object stays usable";
}

TEST_F(ClientTest, CookiesStayWithTheirClientObjectAndTheConnectionIsReused) {
  FakeAnswer with_cookie = FakeAnswer::json({{"status", 200}});
  with_cookie.headers.emplace_back("Set-Cookie", "sid=abc123; Path=/");
  console.answer("GET", "/console/v1/captcha", with_cookie);
  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});

  anonymous._request("GET", "/console/v1/captcha");
  anonymous._request("GET", "/console/v1/ping");
  const auto first = console.requests();
  EXPECT_EQ(first.back().cookies, (std::map<std::string, std::string>{{"sid", "abc123"}}));
  EXPECT_EQ(first[0].remote_port, first[1].remote_port) << "one connection for both requests";

  ToVixProxyClient other(console.base_url());
  other._request("GET", "/console/v1/ping");
  EXPECT_TRUE(console.last().cookies.empty()) << "another object has its own cookie store";
}

TEST(ClientTransportTest, EachTransportFailureHasItsText) {
  ConsoleFake plain_http;
  LoopbackServer closing(close_at_once());
  const auto failure_at = [](const std::string& url) {
    ToVixProxyClient client(url);
    return request_failure(client);
  };
  EXPECT_EQ(failure_at(loopback_url("http", refused_port())), "无法连接到服务器，请检查网络");
  EXPECT_EQ(failure_at(loopback_url("https", plain_http.port())), "无法连接到服务器，请检查网络")
      << "TLS handshake against plain HTTP";
  EXPECT_EQ(failure_at(loopback_url("https", closing.port())), "无法连接到服务器，请检查网络")
      << "connection closed during the handshake";

  const std::string closed_plain = failure_at(loopback_url("http", closing.port()));
  EXPECT_TRUE(closed_plain.starts_with("网络请求异常: ") && closed_plain.size() > std::string("网络请求异常: ").size())
      << closed_plain;
  EXPECT_TRUE(failure_at("ftp://127.0.0.1").starts_with("网络请求异常: ")) << "only http and https are spoken";
}

TEST(ClientTransportTest, AServerThatNeverAnswersTimesOut) {
  LoopbackServer silent(never_answer());
  ToVixProxyClient client(loopback_url("http", silent.port()), std::nullopt, short_timeouts());
  EXPECT_EQ(request_failure(client), "请求超时，请检查网络后重试");
  EXPECT_EQ(silent.accepted(), 1);
}

TEST(ClientTransportTest, CertificatesAreVerified) {
  TempDir dir;
  const std::string cert = (dir / "cert.pem").string();
  const std::string key = (dir / "key.pem").string();
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" + key +
                              "' -out '" + cert + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ConsoleFake self_signed(TlsIdentity{cert, key});
  ToVixProxyClient client(self_signed.base_url());
  EXPECT_EQ(request_failure(client), "无法连接到服务器，请检查网络");
  EXPECT_EQ(self_signed.request_count(), 0u);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : _name(name) {
    if (const char* old = std::getenv(name)) _old = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (_old) {
      ::setenv(_name, _old->c_str(), 1);
    } else {
      ::unsetenv(_name);
    }
  }

 private:
  const char* _name;
  std::optional<std::string> _old;
};

TEST_F(ClientTest, ProxySettingsOfTheEnvironmentAreIgnored) {
  const std::string dead_proxy = loopback_url("http", refused_port());
  ScopedEnv http("http_proxy", dead_proxy);
  ScopedEnv https("https_proxy", dead_proxy);
  ScopedEnv all("ALL_PROXY", dead_proxy);
  ScopedEnv none("no_proxy", "");
  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});
  EXPECT_EQ(anonymous._request("GET", "/console/v1/ping")["ok"], true);
}

// The expected text comes from the openssl command line, fed the same bytes.
std::string openssl_base64(const std::string& password) {
  TempDir dir;
  write_text(dir / "plain", password);
  const std::string command =
      "openssl enc -aes-128-cbc -K 6b656c706d6f6f722e686172626f7572 -iv 34383237313530333936323634383130 "
      "-base64 -A -in '" +
      (dir / "plain").string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[256];
  while (const std::size_t n = std::fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, n);
  ::pclose(pipe);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

TEST(PasswordEncryptionTest, MatchesOpensslForTheSameBytes) {
  EXPECT_EQ(std::string(ToVixProxyClient::_AES_KEY), "kelpmoor.harbour");
  EXPECT_EQ(std::string(ToVixProxyClient::_AES_IV), "4827150396264810");
  for (const std::string password :
       {"secret", "0123456789abcdef", "密码Pässwörd", "", "a+b/c=d 31 chars long........"}) {
    EXPECT_EQ(ToVixProxyClient::_encrypt_password(password), openssl_base64(password)) << password;
  }
  const std::string sixteen = ToVixProxyClient::_encrypt_password("0123456789abcdef");
  EXPECT_EQ(sixteen.size(), 44u) << "a full block of padding follows 16 bytes";
  EXPECT_EQ(ToVixProxyClient::_encrypt_password("secret"), ToVixProxyClient::_encrypt_password("secret"));
}

}  // namespace
}  // namespace tovix::testing
