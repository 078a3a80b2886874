// Signing in with account, password and the image captcha.
#include <QElapsedTimer>
#include <QSignalSpy>

#include "api/tovixproxy_client.h"
#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

const char* const kError = "color: #e64553; font-size: 12px;";
const char* const kSuccess = "color: #40a02b; font-size: 12px;";

class PasswordSignInTest : public SignInTest {
 protected:
  void fill(const QString& account, const QString& password, const QString& captcha) {
    edit("edit_account")->setText(account);
    edit("edit_password")->setText(password);
    edit("edit_captcha")->setText(captcha);
  }
  void press_return_in_captcha() { QTest::keyClick(edit("edit_captcha"), Qt::Key_Return); }
};

TEST_F(PasswordSignInTest, FirstCaptchaIsShownInItsBox) {
  open();
  const QPixmap shown = label("captcha_image")->pixmap();
  EXPECT_LE(shown.width(), 110);
  EXPECT_LE(shown.height(), 46);
  EXPECT_EQ(requests_to(kCaptchaPath), 1u);
  EXPECT_EQ(dialog->focusWidget(), edit("edit_captcha"));
}

TEST_F(PasswordSignInTest, MissingInputIsReportedFirstFailureFirst) {
  // A page without a token: the image shows, but there is nothing to sign in with.
  console.answer_json("GET", kCaptchaPath, captcha_page(""));
  open();
  struct Case {
    const char* account;
    const char* password;
    const char* captcha;
    const char* message;
  };
  for (const Case& step :
       {Case{"", "", "", "请输入账号"}, Case{"   ", "pw", "ab", "请输入账号"}, Case{"alice", "", "ab", "请输入密码"},
        Case{"alice", "   ", "", "请输入验证码"}, Case{"alice", "pw", " \t ", "请输入验证码"},
        Case{"alice", "pw", "ab", "验证码未加载，请点击验证码图片刷新"}}) {
    fill(QString::fromUtf8(step.account), QString::fromUtf8(step.password), QString::fromUtf8(step.captcha));
    press_return_in_captcha();
    EXPECT_EQ(label("label_status")->text(), QString::fromUtf8(step.message)) << step.message;
    EXPECT_EQ(label("label_status")->styleSheet(), kError);
    EXPECT_TRUE(button("btn_login")->isEnabled());
  }
  EXPECT_EQ(requests_to(kLoginPath), 0u);
}

TEST_F(PasswordSignInTest, CaptchaThatCannotLoadSaysSo) {
  console.answer_json("GET", kCaptchaPath, {{"msg", "维护中"}}, 503);
  open(false);
  ASSERT_TRUE(wait_until([&] { return label("captcha_image")->text() == QStringLiteral("获取失败"); }));
  EXPECT_EQ(label("label_status")->text(), "服务器返回 503: 维护中");
  EXPECT_EQ(label("label_status")->styleSheet(), kError);
}

TEST_F(PasswordSignInTest, SuccessStoresTheAccountEmitsOnceAndClosesLater) {
  console.answer_json("POST", kLoginPath, {{"status", 200}, {"data", {{"jwt", "jwt-1"}, {"id", 7}}}});
  open();
  QSignalSpy signed_in(dialog.get(), &ui::SignInDialog::login_success);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  fill(QStringLiteral("  alice  "), QStringLiteral(" pa ss "), QStringLiteral(" ab12 "));
  press_return_in_captcha();
  EXPECT_FALSE(button("btn_login")->isEnabled());
  ASSERT_TRUE(signed_in.wait(15000));
  QElapsedTimer since_success;
  since_success.start();

  const ordered_json body = last_to(kLoginPath).json_body();
  EXPECT_EQ(body["type"], "password");
  EXPECT_EQ(body["account"], "alice");
  EXPECT_EQ(body["password"], ToVixProxyClient::_encrypt_password(" pa ss ")) << "sent as typed";
  EXPECT_EQ(body["captcha"], "ab12");
  EXPECT_EQ(body["token"], "tok-1");

  EXPECT_EQ(signed_in[0][0].toString(), "jwt-1");
  EXPECT_EQ(signed_in[0][1].toString(), "alice");
  EXPECT_EQ(store.tovixproxy_jwt(), "jwt-1");
  EXPECT_EQ(store.tovixproxy_account(), "alice");
  EXPECT_EQ(store.tovixproxy_password(), " pa ss ");
  EXPECT_EQ(label("label_status")->text(), "登录成功");
  EXPECT_EQ(label("label_status")->styleSheet(), kSuccess);
  EXPECT_EQ(button("btn_login")->size(), QSize(80, 36));
  EXPECT_TRUE(dialog->isVisible()) << "closed before the user could read the status";

  ASSERT_TRUE(finished.wait(15000));
  EXPECT_GE(since_success.elapsed(), 700);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(signed_in.size(), 1);
}

TEST_F(PasswordSignInTest, RefusalShowsTheBoxAndOffersAFreshCaptcha) {
  console.answer_json("POST", kLoginPath, {{"status", 400}, {"msg", "验证码错误"}});
  open();
  QSignalSpy signed_in(dialog.get(), &ui::SignInDialog::login_success);
  SeenBox seen;
  const auto responder = close_box(seen);
  fill(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("ab12"));
  QTest::mouseClick(button("btn_login"), Qt::LeftButton);
  ASSERT_TRUE(wait_until([&] { return responder->seen() == 1; }));
  EXPECT_EQ(seen.title, "登录失败");
  EXPECT_EQ(seen.text, "验证码错误");

  ASSERT_TRUE(wait_for_requests(kCaptchaPath, 2)) << "the used captcha was not replaced";
  ASSERT_TRUE(wait_until([&] { return edit("edit_captcha")->text().isEmpty(); }));
  EXPECT_TRUE(button("btn_login")->isEnabled());
  EXPECT_EQ(button("btn_login")->size(), QSize(80, 36));
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(signed_in.size(), 0);
  EXPECT_EQ(store.tovixproxy_jwt(), "");
}

TEST_F(PasswordSignInTest, ClickingTheCaptchaDuringASlowSignInDiscardsIt) {
  console.answer_json("POST", kLoginPath, {{"status", 200}, {"data", {{"jwt", "late"}, {"id", 1}}}});
  open();
  QSignalSpy signed_in(dialog.get(), &ui::SignInDialog::login_success);
  fill(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("ab12"));
  console.hold_answers();
  press_return_in_captcha();
  ASSERT_TRUE(wait_for_requests(kLoginPath, 1));
  press_return_in_captcha();

  QTest::mouseClick(label("captcha_image"), Qt::LeftButton);
  ASSERT_TRUE(wait_for_requests(kCaptchaPath, 2));
  EXPECT_TRUE(button("btn_login")->isEnabled()) << "the dropped sign-in left the button dead";

  console.stop_holding();
  ASSERT_TRUE(ui::wait_for_released_workers(15000));
  QCoreApplication::processEvents();
  EXPECT_EQ(requests_to(kLoginPath), 1u) << "Return during a running sign-in started another";
  EXPECT_EQ(signed_in.size(), 0);
  EXPECT_EQ(store.tovixproxy_jwt(), "");
  EXPECT_NE(label("label_status")->text(), "登录成功");
  EXPECT_TRUE(dialog->isVisible());
}

}  // namespace
}  // namespace tovix::testing
