#include <gtest/gtest.h>

#include "common/logging.h"
#include "tests/api/client_fixture.h"
#include "tests/support/log_capture.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

const char* const kImage = "iVBORw0KGgo+/AAA=";

ordered_json captcha_page(const std::string& html) { return {{"status", 200}, {"data", {{"html", html}}}}; }

class SignInTest : public ClientTest {
 protected:
  ordered_json captcha_with(const std::string& html) {
    console.answer_json("GET", "/console/v1/captcha", captcha_page(html));
    return anonymous.get_captcha();
  }
  ordered_json login_answer(const ordered_json& answer, ToVixProxyClient& client) {
    console.answer_json("POST", "/console/v1/login", answer);
    return client.login("alice", "pw");
  }
  std::string image_tag() const { return std::string("<img src=\"data:image/png;base64,") + kImage + "\">"; }
};

TEST_F(SignInTest, CaptchaTokenPatternsAreTriedInOrder) {
  const std::string image = image_tag();
  EXPECT_EQ(captcha_with("{tokenTag' : 'first'}" + image)["token"], "first");
  EXPECT_EQ(captcha_with("{\"tokenTag\": \"second\"}" + image)["token"], "second");
  EXPECT_EQ(captcha_with("var tokenTag = \"third\";" + image)["token"], "third");
  EXPECT_EQ(captcha_with("var tokenTag='third'; x={tokenTag':'first'}" + image)["token"], "first")
      << "the first pattern wins wherever it stands";
  EXPECT_EQ(captcha_with("tokenTag':'' tokenTag = 'later'" + image)["token"], "later")
      << "an empty value never matches";

  const ordered_json no_token = captcha_with(image);
  EXPECT_EQ(
      no_token.dump(),
      ordered_json({{"success", true}, {"image_base64", kImage}, {"token", nullptr}, {"message", "获取成功"}}).dump());
  const RecordedRequest request = console.last();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/console/v1/captcha");
}

TEST_F(SignInTest, CaptchaWithoutImageOrOfWrongShapeFailsWithAllKeys) {
  const ordered_json expected = {
      {"success", false}, {"image_base64", nullptr}, {"token", nullptr}, {"message", "验证码页面未找到图片"}};
  EXPECT_EQ(captcha_with("tokenTag = 'dropped' data:image/png;base64,!!").dump(), expected.dump());
  for (const ordered_json& odd : {ordered_json{{"data", "text"}}, ordered_json{{"data", {{"html", 5}}}},
                                  ordered_json::array({1}), ordered_json{{"data", ordered_json::array()}}}) {
    console.answer_json("GET", "/console/v1/captcha", odd);
    EXPECT_EQ(anonymous.get_captcha().dump(), expected.dump()) << odd.dump();
  }
  console.answer_json("GET", "/console/v1/captcha", {{"msg", "down"}}, 503);
  EXPECT_EQ(anonymous.get_captcha()["message"], "服务器返回 503: down");
}

TEST_F(SignInTest, VerifyCaptchaSendsAnEncodedFormWithItsOwnHeaders) {
  console.answer_json("POST", "/captcha/tp_captcha/index/verify", {{"status", 200}, {"msg", "ok"}});
  EXPECT_EQ(member.verify_captcha("tok9", "AbC1").dump(), R"({"success":true,"message":"ok"})");
  RecordedRequest request = console.last();
  EXPECT_EQ(request.body, "captcha=AbC1&token=tok9");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kToken);

  anonymous.verify_captcha("t&k=1", "a+b c&d=");
  request = console.last();
  EXPECT_EQ(request.body, "captcha=a%2Bb+c%26d%3D&token=t%26k%3D1");
  EXPECT_EQ(request.header("Authorization"), std::nullopt);
}

TEST_F(SignInTest, VerifyCaptchaFailuresHaveTheirOwnTexts) {
  const auto verify = [&](FakeAnswer answer) {
    console.answer("POST", "/captcha/tp_captcha/index/verify", std::move(answer));
    return anonymous.verify_captcha("t", "c");
  };
  EXPECT_EQ(verify(FakeAnswer::json({{"status", 400}, {"msg", "验证码错误"}})).dump(),
            R"({"success":false,"message":"验证码错误"})");
  EXPECT_EQ(verify(FakeAnswer::json({{"status", 200}})).dump(), R"({"success":true,"message":""})");
  EXPECT_EQ(verify(FakeAnswer::json({{"message", "m"}, {"msg", "x"}}, 500))["message"], "服务器返回 500: x")
      << "\"message\" is not consulted here";
  EXPECT_EQ(verify(FakeAnswer::json({{"message", "m"}}, 500))["message"], R"(服务器返回 500: {"message":"m"})");
  const std::string not_json = verify(FakeAnswer{200, "<html>", "text/html", {}})["message"];
  EXPECT_TRUE(not_json.starts_with("校验验证码异常: ")) << not_json;

  ToVixProxyClient refused(loopback_url("http", refused_port()));
  EXPECT_EQ(refused.verify_captcha("t", "c")["message"], "无法连接到服务器，请检查网络");
  LoopbackServer silent(never_answer());
  ToVixProxyClient stalled(loopback_url("http", silent.port()), std::nullopt, short_timeouts());
  EXPECT_EQ(stalled.verify_captcha("t", "c").dump(), R"({"success":false,"message":"校验验证码请求超时"})");
}

TEST_F(SignInTest, PhoneCodeRequestCarriesANumericCallingCodeByDefault) {
  console.answer_json("POST", "/console/v1/phone/code", {{"status", 200}, {"msg", "已发送"}});
  EXPECT_EQ(anonymous.send_phone_code("13800000000", 86, "tok", "AbC1").dump(),
            R"({"success":true,"message":"已发送"})");
  EXPECT_EQ(console.last().json_body().dump(),
            R"({"action":"login","phone_code":86,"phone":"13800000000","token":"tok","captcha":"AbC1"})");
  anonymous.send_phone_code("1");
  EXPECT_EQ(console.last().json_body().dump(),
            R"({"action":"login","phone_code":86,"phone":"1","token":"","captcha":""})");

  console.answer_json("POST", "/console/v1/phone/code", {{"status", "200"}, {"msg", 3}});
  EXPECT_EQ(anonymous.send_phone_code("1").dump(), R"({"success":false,"message":""})")
      << "a status text counts only for login; a number where a text belongs reads as absent";
  console.answer_json("POST", "/console/v1/phone/code", {{"msg", "频繁"}}, 429);
  EXPECT_EQ(anonymous.send_phone_code("1").dump(), R"({"success":false,"message":"服务器返回 429: 频繁"})");
}

TEST_F(SignInTest, PasswordAndCodeLoginsSendTheirOwnBodies) {
  console.answer_json("POST", "/console/v1/login", {{"status", 400}});
  anonymous.login("alice", "p@ss", "86", "AbC1", "tok");
  EXPECT_EQ(console.last().json_body().dump(), ordered_json({{"type", "password"},
                                                             {"account", "alice"},
                                                             {"password", ToVixProxyClient::_encrypt_password("p@ss")},
                                                             {"phone_code", "86"},
                                                             {"remember_password", 0},
                                                             {"captcha", "AbC1"},
                                                             {"token", "tok"}})
                                                   .dump());

  anonymous.login("13800000000", "123456", "86", std::nullopt, std::string(), "code");
  EXPECT_EQ(
      console.last().json_body().dump(),
      R"({"type":"code","account":"13800000000","phone_code":"86","code":"123456","password":"","remember_password":"0"})")
      << "no captcha or token when they are not set";
}

TEST_F(SignInTest, AcceptedLoginSignsTheObjectIn) {
  LogCapture log(LOGGER_CLIENT);
  const ordered_json result =
      login_answer({{"status", "200"}, {"data", {{"jwt", "new.jwt"}, {"id", 42}}}, {"msg", "ok"}}, anonymous);
  EXPECT_EQ(result.dump(),
            R"({"success":true,"jwt":"new.jwt","client_id":42,"message":"登录成功","need_captcha":false})")
      << "a status given as text counts";
  EXPECT_EQ(anonymous.jwt_token(), "new.jwt");
  EXPECT_EQ(anonymous.client_id(), 42);
  EXPECT_TRUE(log.contains(spdlog::level::info, "127.0.0.1 登录成功, client_id=42"));
  EXPECT_FALSE(log.contains_fragment(spdlog::level::info, "pw")) << "no password in the log";

  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});
  anonymous._request("GET", "/console/v1/ping");
  EXPECT_EQ(console.last().header("Authorization"), "Bearer new.jwt");

  login_answer({{"status", 200}, {"data", {{"jwt", "second.jwt"}}}}, anonymous);
  anonymous._request("GET", "/console/v1/ping");
  const RecordedRequest again = console.last();
  EXPECT_EQ(again.header("Authorization"), "Bearer second.jwt");
  EXPECT_EQ(std::count_if(again.headers.begin(), again.headers.end(),
                          [](const auto& h) { return h.first == "Authorization"; }),
            1);
}

TEST_F(SignInTest, AcceptedLoginWithoutTokenChangesNothing) {
  for (const ordered_json& data : {ordered_json{{"id", 1}}, ordered_json{{"jwt", ""}}, ordered_json{{"jwt", 7}},
                                   ordered_json("text"), ordered_json()}) {
    const ordered_json result = login_answer({{"status", 200.0}, {"data", data}}, anonymous);
    EXPECT_EQ(
        result.dump(),
        R"({"success":false,"jwt":null,"client_id":null,"message":"登录返回数据中缺少 Token","need_captcha":false})")
        << data.dump();
  }
  EXPECT_EQ(anonymous.jwt_token(), std::nullopt);
  EXPECT_TRUE(anonymous.client_id().is_null());
}

TEST_F(SignInTest, RefusalsTakeTheirMessageAndCaptchaDemand) {
  const auto refusal = [&](const ordered_json& answer) { return login_answer(answer, anonymous); };
  ordered_json result = refusal({{"status", 400}, {"msg", "密码错误"}, {"data", {{"captcha", 1}}}});
  EXPECT_EQ(result.dump(), R"({"success":false,"jwt":null,"client_id":null,"message":"密码错误","need_captcha":true})");
  EXPECT_EQ(refusal({{"status", 400}, {"data", nullptr}})["need_captcha"], false);
  EXPECT_EQ(refusal({{"status", 400}, {"data", {{"captcha", 0}, {"need_captcha", true}}}})["need_captcha"], true);
  EXPECT_EQ(refusal({{"status", 400}, {"msg", ""}, {"message", "账号已锁定"}})["message"], "账号已锁定");
  EXPECT_EQ(refusal({{"status", 400}, {"data", {{"message", "来自 data"}}}})["message"], "来自 data");
  EXPECT_EQ(refusal({{"status", "abc"}, {"data", {{"jwt", "x"}}}})["message"], "登录失败，请检查账号密码")
      << "a status text that is not a number is a refusal";
  EXPECT_EQ(refusal(ordered_json::array({"status", 200}))["message"], "登录失败，请检查账号密码");
  EXPECT_EQ(anonymous.jwt_token(), std::nullopt);
}

TEST_F(SignInTest, LoginRequestFailureIsLoggedWithoutSecrets) {
  LogCapture log(LOGGER_CLIENT);
  console.answer_json("POST", "/console/v1/login", {{"msg", "busy"}}, 500);
  EXPECT_EQ(anonymous.login("alice", "topsecret").dump(),
            R"({"success":false,"jwt":null,"client_id":null,"message":"服务器返回 500: busy","need_captcha":false})");
  EXPECT_TRUE(log.contains(spdlog::level::err, "127.0.0.1 登录异常: 服务器返回 500: busy"));
  for (const LogEntry& entry : log.entries()) EXPECT_EQ(entry.text.find("topsecret"), std::string::npos);
}

TEST_F(SignInTest, LogoutAlwaysSignsOutLocally) {
  LogCapture log(LOGGER_CLIENT);
  EXPECT_EQ(anonymous.logout().dump(), R"({"success":true,"message":"未登录，无需登出"})");
  EXPECT_EQ(console.request_count(), 0u);

  console.answer_json("POST", "/console/v1/logout", {{"status", 200}, {"msg", ""}, {"message", "bye"}});
  EXPECT_EQ(member.logout().dump(), R"({"success":true,"message":""})") << "a present msg wins even when empty";
  EXPECT_EQ(console.last().header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(console.last().body, "");
  EXPECT_EQ(member.jwt_token(), std::nullopt);
  EXPECT_TRUE(log.contains(spdlog::level::info, "127.0.0.1 登出成功"));

  const auto logout_with = [&](const ordered_json& answer) {
    console.answer_json("POST", "/console/v1/logout", answer);
    ToVixProxyClient client(console.base_url(), std::string(kToken));
    return client.logout()["message"];
  };
  EXPECT_EQ(logout_with({{"message", "bye"}}), "bye");
  EXPECT_EQ(logout_with(ordered_json::object()), "已登出");
}

TEST_F(SignInTest, LogoutWithAFailingNetworkStillSignsOut) {
  LogCapture log(LOGGER_CLIENT);
  console.answer_json("POST", "/console/v1/login", {{"status", 200}, {"data", {{"jwt", "j"}, {"id", "m-1"}}}});
  ToVixProxyClient signed_in(console.base_url());
  ASSERT_EQ(signed_in.login("a", "b")["success"], true);

  // The console refuses the sign-out.
  console.answer_json("POST", "/console/v1/logout", {{"msg", "down"}}, 500);
  EXPECT_EQ(signed_in.logout().dump(), R"({"success":false,"message":"服务器返回 500: down"})");
  EXPECT_EQ(signed_in.jwt_token(), std::nullopt);
  EXPECT_EQ(signed_in.client_id(), "m-1") << "the member id is kept";
  EXPECT_TRUE(log.contains(spdlog::level::warn, "登出 API 调用失败（本地状态将清除）: 服务器返回 500: down"));

  console.answer_json("GET", "/console/v1/ping", {{"ok", true}});
  signed_in._request("GET", "/console/v1/ping");
  EXPECT_EQ(console.last().header("Authorization"), std::nullopt);

  ToVixProxyClient unreachable(loopback_url("http", refused_port()), std::string(kToken));
  EXPECT_EQ(unreachable.logout().dump(), R"({"success":false,"message":"无法连接到服务器，请检查网络"})");
  EXPECT_EQ(unreachable.jwt_token(), std::nullopt);
}

}  // namespace
}  // namespace tovix::testing
