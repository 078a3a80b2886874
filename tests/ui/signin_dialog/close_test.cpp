// Closing or destroying the window while console requests are still under way.
#include <QSignalSpy>

#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

FakeAnswer slow(const ordered_json& body) {
  FakeAnswer answer = FakeAnswer::json(body);
  answer.delay = kSlow;
  return answer;
}

class CloseTest : public SignInTest {};

TEST_F(CloseTest, ClosingStopsTheCountdownAndAllThreeWorkersWithoutTheirResults) {
  console.answer("POST", kLoginPath, slow({{"status", 200}, {"data", {{"jwt", "late"}, {"id", 1}}}}));
  console.answer_json("POST", kVerifyPath, {{"status", 200}, {"msg", "ok"}});
  console.answer("POST", kSmsPath, slow({{"status", 200}, {"msg", "发送成功"}}));
  open();
  QSignalSpy signed_in(dialog.get(), &ui::SignInDialog::login_success);

  // The sign-in slot: a password sign-in that does not come back.
  edit("edit_account")->setText(QStringLiteral("alice"));
  edit("edit_password")->setText(QStringLiteral("pw"));
  edit("edit_captcha")->setText(QStringLiteral("ab12"));
  QTest::keyClick(edit("edit_captcha"), Qt::Key_Return);
  ASSERT_TRUE(wait_for_requests(kLoginPath, 1));

  // The SMS slot: a code request that does not come back.
  QTest::mouseClick(button("btn_code_tab"), Qt::LeftButton);
  edit("edit_phone")->setText(QStringLiteral("13800000000"));
  {
    const auto prompt = answer_prompt(QStringLiteral("xy9"));
    QTest::mouseClick(button("btn_send_code"), Qt::LeftButton);
    ASSERT_TRUE(wait_for_requests(kSmsPath, 1));
  }

  // The captcha slot of the SMS page: a captcha that does not come back.
  console.answer("GET", kCaptchaPath, slow(captcha_page("tok-2")));
  const std::size_t captchas = requests_to(kCaptchaPath);
  invoke("_on_send_code");
  ASSERT_TRUE(wait_for_requests(kCaptchaPath, captchas + 1));
  invoke("_start_countdown");
  auto* countdown = dialog->findChild<QTimer*>(QStringLiteral("_countdown_timer"));
  ASSERT_TRUE(countdown->isActive());

  const QString status_before = label("label_status_code")->text();
  const auto prompt = answer_prompt(QStringLiteral("late"));
  dialog->close();
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_FALSE(countdown->isActive());
  EXPECT_EQ(ui::running_released_workers(), 3);

  // Now every request comes back, to workers nobody listens to any more.
  console.release_delayed();
  ASSERT_TRUE(ui::wait_for_released_workers(20000));
  ASSERT_TRUE(wait_until([] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return ui::running_released_workers() == 0;
  }));
  QCoreApplication::processEvents();
  EXPECT_EQ(signed_in.size(), 0);
  EXPECT_EQ(store.tovixproxy_jwt(), "");
  EXPECT_EQ(prompt->seen(), 0) << "a late captcha opened the prompt after the window closed";
  EXPECT_EQ(label("label_status_code")->text(), status_before);
  EXPECT_EQ(button("btn_send_code")->text(), "60s") << "a late SMS result reached the closed window";
}

TEST_F(CloseTest, DestroyingTheWindowReleasesItsWorkers) {
  console.answer("GET", kCaptchaPath, slow(captcha_page("tok-1")));
  open(false);
  ASSERT_TRUE(wait_for_requests(kCaptchaPath, 1));
  dialog.reset();
  EXPECT_EQ(ui::running_released_workers(), 1);
  console.release_delayed();
  EXPECT_TRUE(ui::wait_for_released_workers(20000));
}

}  // namespace
}  // namespace tovix::testing
