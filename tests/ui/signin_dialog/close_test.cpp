// Closing or destroying the window while console requests are still under way.
#include <QSignalSpy>

#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

class CloseTest : public SignInTest {};

TEST_F(CloseTest, ClosingStopsTheCountdownAndAllThreeWorkersWithoutTheirResults) {
  console.answer_json("POST", kLoginPath, {{"status", 200}, {"data", {{"jwt", "late"}, {"id", 1}}}});
  console.answer_json("POST", kVerifyPath, {{"status", 200}, {"msg", "ok"}});
  console.answer_json("POST", kSmsPath, {{"status", 200}, {"msg", "发送成功"}});
  open();
  QSignalSpy signed_in(dialog.get(), &ui::SignInDialog::login_success);

  // The SMS slot: from the captcha prompt on, the console holds its answers; the check of the
  // captcha text may pass, the code request that follows it does not come back.
  QTest::mouseClick(button("btn_code_tab"), Qt::LeftButton);
  edit("edit_phone")->setText(QStringLiteral("13800000000"));
  {
    OnModal<ui::CaptchaInputDialog> prompt([this](ui::CaptchaInputDialog* shown) {
      console.hold_answers();
      shown->findChild<QLineEdit*>(QStringLiteral("edit_captcha"))->setText(QStringLiteral("xy9"));
      shown->accept();
    });
    QTest::mouseClick(button("btn_send_code"), Qt::LeftButton);
    ASSERT_TRUE(wait_for_requests(kVerifyPath, 1));
    console.release_answers(1);
    ASSERT_TRUE(wait_for_requests(kSmsPath, 1));
  }

  // The sign-in slot: a password sign-in that does not come back.
  QTest::mouseClick(button("btn_password_tab"), Qt::LeftButton);
  edit("edit_account")->setText(QStringLiteral("alice"));
  edit("edit_password")->setText(QStringLiteral("pw"));
  edit("edit_captcha")->setText(QStringLiteral("ab12"));
  QTest::keyClick(edit("edit_captcha"), Qt::Key_Return);
  ASSERT_TRUE(wait_for_requests(kLoginPath, 1));

  // The captcha slot of the SMS page: a captcha that does not come back.
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
  console.stop_holding();
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
  console.hold_answers();
  open(false);
  ASSERT_TRUE(wait_for_requests(kCaptchaPath, 1));
  dialog.reset();
  EXPECT_EQ(ui::running_released_workers(), 1);
  console.stop_holding();
  EXPECT_TRUE(ui::wait_for_released_workers(20000));
}

}  // namespace
}  // namespace tovix::testing
