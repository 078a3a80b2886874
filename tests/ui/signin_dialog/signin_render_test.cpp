// Pictures of the window in its main states, saved under the build tree to be looked at, and a
// check that no text in them is cut off.
#include <QDir>

#include <gmock/gmock.h>

#include "tests/support/text_fit.h"
#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

using ::testing::IsEmpty;

// Every label and button of the window shows its whole text.
std::vector<std::string> cut_off(const QWidget& window) {
  std::vector<std::string> found = labels_cut_off(window);
  const std::vector<std::string> buttons = buttons_cut_off(window);
  found.insert(found.end(), buttons.begin(), buttons.end());
  return found;
}

void save(QWidget& window, const char* name) {
  QDir().mkpath(QStringLiteral(TOVIX_RENDER_DIR));
  const QString file = QStringLiteral(TOVIX_RENDER_DIR "/%1.png").arg(QString::fromLatin1(name));
  EXPECT_TRUE(window.grab().save(file)) << file.toStdString();
}

using SignInRenderTest = SignInTest;

TEST_F(SignInRenderTest, MainStatesFitTheirWindow) {
  store.set_tovixproxy_account("alice@example.com");
  store.set_tovixproxy_password("secret");
  console.answer_json("GET", kCaptchaPath, captcha_page(""));
  open();
  edit("edit_captcha")->setText(QStringLiteral("7kQx"));
  QTest::keyClick(edit("edit_captcha"), Qt::Key_Return);
  ASSERT_EQ(label("label_status")->text(), "验证码未加载，请点击验证码图片刷新");
  save(*dialog, "password_page_error");
  EXPECT_THAT(cut_off(*dialog), IsEmpty());

  console.answer_json("GET", kCaptchaPath, captcha_page("tok-1"));
  console.answer_json("POST", kVerifyPath, {{"status", 200}, {"msg", "ok"}});
  console.answer_json("POST", kSmsPath, {{"status", 200}, {"msg", "发送成功"}});
  QTest::mouseClick(button("btn_code_tab"), Qt::LeftButton);
  edit("edit_phone")->setText(QStringLiteral("13800000000"));
  const auto prompt = answer_prompt(QStringLiteral("7kQx"));
  QTest::mouseClick(button("btn_send_code"), Qt::LeftButton);
  ASSERT_TRUE(wait_until([&] { return button("btn_send_code")->text() == QStringLiteral("60s"); }));
  for (int i = 0; i < 18; ++i) invoke("_on_countdown_tick");
  ASSERT_EQ(button("btn_send_code")->text(), "42s");
  save(*dialog, "sms_page_countdown");
  EXPECT_THAT(cut_off(*dialog), IsEmpty());
}

TEST_F(SignInRenderTest, PasswordPageAfterARefusal) {
  console.answer_json("POST", kLoginPath, {{"status", 400}, {"msg", "验证码错误"}});
  open();
  SeenBox seen;
  const auto responder = close_box(seen);
  edit("edit_account")->setText(QStringLiteral("alice"));
  edit("edit_password")->setText(QStringLiteral("pw"));
  edit("edit_captcha")->setText(QStringLiteral("ab12"));
  QTest::keyClick(edit("edit_captcha"), Qt::Key_Return);
  ASSERT_TRUE(wait_for_requests(kCaptchaPath, 2));
  ASSERT_TRUE(wait_until([&] { return responder->seen() == 1 && edit("edit_captcha")->text().isEmpty(); }));
  save(*dialog, "password_page_after_refusal");
  // The button keeps its 80 x 36 after a refusal, and "登 录" still reads in full.
  EXPECT_EQ(button("btn_login")->size(), QSize(80, 36));
  EXPECT_THAT(cut_off(*dialog), IsEmpty());
}

TEST(CaptchaPromptRenderTest, PromptFitsItsWindow) {
  ui::CaptchaInputDialog prompt(QString::fromStdString(captcha_png_base64()));
  prompt.show();
  save(prompt, "captcha_prompt");
  EXPECT_THAT(cut_off(prompt), IsEmpty());
}

}  // namespace
}  // namespace tovix::testing
