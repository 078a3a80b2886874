// Pictures of the window in its main states, saved under the build tree to be looked at, and a
// check that no text in them is cut off.
#include <QDir>
#include <QStringList>

#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

// Style-sheet padding counts in a size hint although the glyphs need less; a pixel of it may go.
constexpr int SLACK = 2;

// Labels and buttons whose text needs more room than they were given.
QStringList cut_off(const QWidget& window) {
  QStringList found;
  const auto check = [&found](const QWidget* widget, const QString& text) {
    if (!widget->isVisible() || text.isEmpty()) return;
    const QSize needed = widget->sizeHint();
    if (needed.width() > widget->width() + SLACK || needed.height() > widget->height() + SLACK) {
      found << QStringLiteral("%1 \"%2\": needs %3x%4, has %5x%6")
                   .arg(widget->objectName(), text)
                   .arg(needed.width())
                   .arg(needed.height())
                   .arg(widget->width())
                   .arg(widget->height());
    }
  };
  for (const QLabel* label : window.findChildren<QLabel*>()) check(label, label->text());
  for (const QPushButton* button : window.findChildren<QPushButton*>()) check(button, button->text());
  return found;
}

std::string listed(const QStringList& problems) { return problems.join(QStringLiteral("; ")).toStdString(); }

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
  EXPECT_EQ(listed(cut_off(*dialog)), "");

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
  EXPECT_EQ(listed(cut_off(*dialog)), "");
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
}

TEST(CaptchaPromptRenderTest, PromptFitsItsWindow) {
  ui::CaptchaInputDialog prompt(QString::fromStdString(captcha_png_base64()));
  prompt.show();
  save(prompt, "captcha_prompt");
  EXPECT_EQ(listed(cut_off(prompt)), "");
}

}  // namespace
}  // namespace tovix::testing
