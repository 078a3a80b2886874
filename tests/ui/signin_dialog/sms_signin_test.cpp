// Signing in with a phone number and an SMS code, the code asked for through the captcha prompt.
#include <QSignalSpy>
#include <QStackedWidget>

#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

const char* const kError = "color: #e64553; font-size: 12px;";
const char* const kNeutral = "color: #a6adc8; font-size: 12px;";
const char* const kSuccess = "color: #40a02b; font-size: 12px;";

class SmsSignInTest : public SignInTest {
 protected:
  SmsSignInTest() {
    FakeAnswer verified = FakeAnswer::json({{"status", 200}, {"msg", "ok"}});
    verified.headers.emplace_back("Set-Cookie", "sid=verified; Path=/");
    console.answer("POST", kVerifyPath, verified);
    console.answer_json("POST", kSmsPath, {{"status", 200}, {"msg", "发送成功"}});
  }
  void open_sms_page() {
    open();
    QTest::mouseClick(button("btn_code_tab"), Qt::LeftButton);
  }
  QTimer* countdown() const { return dialog->findChild<QTimer*>(QStringLiteral("_countdown_timer")); }
  QLabel* status() const { return label("label_status_code"); }
  bool send_button_idle() const {
    return button("btn_send_code")->isEnabled() && button("btn_send_code")->text() == QStringLiteral("获取验证码");
  }
};

TEST_F(SmsSignInTest, CodeIsSentAfterTheCaptchaAndTheButtonCountsDown) {
  open_sms_page();
  edit("edit_phone")->setText(QStringLiteral(" 13800000000 "));
  const auto prompt = answer_prompt(QStringLiteral(" xy9 "));
  QTest::mouseClick(button("btn_send_code"), Qt::LeftButton);
  EXPECT_FALSE(button("btn_send_code")->isEnabled());
  ASSERT_TRUE(wait_until([&] { return status()->text() == QStringLiteral("短信验证码已发送，请查收"); }));
  EXPECT_EQ(status()->styleSheet(), kSuccess);
  EXPECT_EQ(prompt->seen(), 1);

  EXPECT_EQ(last_to(kVerifyPath).body, "captcha=xy9&token=tok-1");
  const RecordedRequest sms = last_to(kSmsPath);
  EXPECT_EQ(
      sms.json_body().dump(),
      ordered_json(
          {{"action", "login"}, {"phone_code", 86}, {"phone", "13800000000"}, {"token", "tok-1"}, {"captcha", "xy9"}})
          .dump());
  EXPECT_EQ(sms.cookies, (std::map<std::string, std::string>{{"sid", "verified"}}))
      << "verify and send must share one session";
  EXPECT_EQ(dialog->focusWidget(), edit("edit_sms_code"));

  QPushButton* send = button("btn_send_code");
  EXPECT_EQ(send->text(), "60s");
  EXPECT_FALSE(send->isEnabled());
  ASSERT_TRUE(countdown()->isActive());
  EXPECT_EQ(countdown()->interval(), 1000);
  for (int left = 59; left >= 1; --left) {
    invoke("_on_countdown_tick");
    ASSERT_EQ(send->text(), QString::number(left) + "s");
    ASSERT_FALSE(send->isEnabled());
  }
  invoke("_on_countdown_tick");
  EXPECT_TRUE(send_button_idle());
  EXPECT_FALSE(countdown()->isActive());
}

TEST_F(SmsSignInTest, EveryFailedStepReturnsToIdle) {
  struct Case {
    const char* name;
    std::function<void(ConsoleFake&)> script;
    std::optional<QString> typed;  // absent: the prompt is cancelled
    const char* message;
    const char* style;
    bool prompt_opens;
  };
  const std::vector<Case> cases = {
      {"captcha fails",
       [](ConsoleFake& c) {
         c.answer_json("GET", kCaptchaPath, {{"msg", "忙"}}, 500);
       },
       QStringLiteral("x"), "服务器返回 500: 忙", kError, false},
      {"captcha without token", [](ConsoleFake& c) { c.answer_json("GET", kCaptchaPath, captcha_page("")); },
       QStringLiteral("x"), "图形验证码数据不完整，请重试", kError, false},
      {"prompt cancelled", [](ConsoleFake&) {}, std::nullopt, "已取消", kNeutral, true},
      {"nothing typed", [](ConsoleFake&) {}, QStringLiteral("   "), "验证码不能为空，请重试", kError, true},
      {"captcha rejected",
       [](ConsoleFake& c) {
         c.answer_json("POST", kVerifyPath, {{"status", 0}, {"msg", "验证码错误"}});
       },
       QStringLiteral("x"), "图形验证码校验失败: 验证码错误", kError, true},
      {"sms refused",
       [](ConsoleFake& c) {
         c.answer_json("POST", kSmsPath, {{"status", 400}, {"msg", "号码无效"}});
       },
       QStringLiteral("x"), "号码无效", kError, true},
  };
  open_sms_page();
  edit("edit_phone")->setText(QStringLiteral("13800000000"));
  for (const Case& step : cases) {
    SCOPED_TRACE(step.name);
    step.script(console);
    status()->clear();
    const auto prompt = answer_prompt(step.typed);
    QTest::mouseClick(button("btn_send_code"), Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return !status()->text().isEmpty(); }));
    EXPECT_EQ(status()->text(), QString::fromUtf8(step.message));
    EXPECT_EQ(status()->styleSheet(), step.style);
    EXPECT_EQ(prompt->seen(), step.prompt_opens ? 1 : 0);
    EXPECT_TRUE(send_button_idle());
    EXPECT_FALSE(countdown()->isActive());
    // Back to a console that accepts every step.
    console.answer_json("GET", kCaptchaPath, captcha_page("tok-1"));
    console.answer_json("POST", kVerifyPath, {{"status", 200}, {"msg", "ok"}});
    console.answer_json("POST", kSmsPath, {{"status", 200}, {"msg", "发送成功"}});
  }
  EXPECT_EQ(requests_to(kSmsPath), 1u) << "only the step after a passed verification sends an SMS";

  edit("edit_phone")->setText(QStringLiteral("  "));
  const std::size_t before = console.request_count();
  QTest::mouseClick(button("btn_send_code"), Qt::LeftButton);
  EXPECT_EQ(status()->text(), "请先输入手机号");
  EXPECT_EQ(status()->styleSheet(), kError);
  EXPECT_TRUE(send_button_idle());
  EXPECT_EQ(console.request_count(), before);
}

TEST_F(SmsSignInTest, CodeSignInKeepsTheStoredPasswordAndStaysOnItsPage) {
  store.set_tovixproxy_password("stored secret");
  console.answer_json("POST", kLoginPath, {{"status", 200}, {"data", {{"jwt", "jwt-sms"}, {"id", 9}}}});
  open_sms_page();
  QSignalSpy signed_in(dialog.get(), &ui::SignInDialog::login_success);
  QSignalSpy finished(dialog.get(), &QDialog::finished);

  edit("edit_phone")->setText(QStringLiteral(""));
  QTest::keyClick(edit("edit_sms_code"), Qt::Key_Return);
  EXPECT_EQ(status()->text(), "请输入手机号");
  edit("edit_phone")->setText(QStringLiteral(" 13900000000 "));
  edit("edit_sms_code")->setText(QStringLiteral("  "));
  QTest::keyClick(edit("edit_sms_code"), Qt::Key_Return);
  EXPECT_EQ(status()->text(), "请输入短信验证码");
  EXPECT_EQ(status()->styleSheet(), kError);
  EXPECT_EQ(requests_to(kLoginPath), 0u);

  edit("edit_sms_code")->setText(QStringLiteral(" 123456 "));
  QTest::keyClick(edit("edit_sms_code"), Qt::Key_Return);
  EXPECT_EQ(widget<QStackedWidget>("stack")->currentIndex(), 1) << "Return also pressed another button";
  ASSERT_TRUE(signed_in.wait(15000));
  const ordered_json body = last_to(kLoginPath).json_body();
  EXPECT_EQ(body.dump(), ordered_json({{"type", "code"},
                                       {"account", "13900000000"},
                                       {"phone_code", "86"},
                                       {"code", "123456"},
                                       {"password", ""},
                                       {"remember_password", "0"}})
                             .dump());
  EXPECT_EQ(signed_in[0][0].toString(), "jwt-sms");
  EXPECT_EQ(signed_in[0][1].toString(), "13900000000");
  EXPECT_EQ(store.tovixproxy_jwt(), "jwt-sms");
  EXPECT_EQ(store.tovixproxy_account(), "13900000000");
  EXPECT_EQ(store.tovixproxy_password(), "stored secret");
  EXPECT_EQ(status()->text(), "登录成功");
  EXPECT_EQ(status()->styleSheet(), kSuccess);
  ASSERT_TRUE(finished.wait(15000));
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(signed_in.size(), 1);
}

TEST_F(SmsSignInTest, RefusedCodeSignInShowsTheBoxAndLeavesTheCountdownRunning) {
  console.answer_json("POST", kLoginPath, {{"status", 400}, {"msg", "短信验证码错误"}});
  open_sms_page();
  invoke("_start_countdown");
  SeenBox seen;
  const auto responder = close_box(seen);
  edit("edit_phone")->setText(QStringLiteral("13900000000"));
  edit("edit_sms_code")->setText(QStringLiteral("000000"));
  QTest::mouseClick(button("btn_code_login"), Qt::LeftButton);
  EXPECT_FALSE(button("btn_code_login")->isEnabled());
  ASSERT_TRUE(wait_until([&] { return responder->seen() == 1; }));
  ASSERT_TRUE(wait_until([&] { return button("btn_code_login")->isEnabled(); }));
  EXPECT_EQ(seen.title, "登录失败");
  EXPECT_EQ(seen.text, "短信验证码错误");
  EXPECT_TRUE(countdown()->isActive());
  EXPECT_EQ(button("btn_send_code")->text(), "60s");
  EXPECT_EQ(store.tovixproxy_jwt(), "");
}

}  // namespace
}  // namespace tovix::testing
