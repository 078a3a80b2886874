// The window as the user meets it: titles, texts, sizes, styles, and what its controls lead to.
#include <QDesktopServices>
#include <QLayout>
#include <QStackedWidget>
#include <QUrl>

#include "app/brand/app_brand.h"
#include "tests/ui/signin_dialog/signin_fixture.h"

namespace tovix::testing {
namespace {

const char* const kTabStyle =
    "QPushButton {  font-size: 13px; padding: 6px 16px;  border: 1px solid #585b70;  background: #313244; color: "
    "#a6adc8;}QPushButton:checked {  background: #89b4fa; color: #1e1e2e; font-weight: bold;  border-color: "
    "#89b4fa;}QPushButton:hover:!checked {  background: #45475a;}";
const char* const kLoginStyle =
    "QPushButton {  background-color: #89b4fa; color: #1e1e2e;  font-size: 15px; font-weight: bold; padding: 10px "
    "32px;  border-radius: 8px; min-height: 40px;}QPushButton:hover { background-color: #b4d0fb; "
    "}QPushButton:disabled { background-color: #45475a; color: #6c7086; }";
const char* const kSendStyle =
    "QPushButton {  font-size: 12px; padding: 4px 8px;  background: #45475a; color: #cdd6f4;  border: 1px solid "
    "#585b70; border-radius: 4px;}QPushButton:hover { background: #585b70; }QPushButton:disabled { background: "
    "#313244; color: #6c7086; }";
const char* const kPrefixStyle =
    "font-size: 13px; color: #a6adc8; background: #313244;border: 1px solid #585b70; border-radius: 4px; padding: 4px;";
const char* const kCaptchaStyle = "border: 1px solid #585b70; border-radius: 4px; background: #313244;";
const char* const kNeutral = "color: #a6adc8; font-size: 12px;";

// Records what the window asks the desktop to open.
class BrowserSpy : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened.append(url); }
};

void expect_title_bar_with_close_only(const QWidget& window) {
  const Qt::WindowFlags flags = window.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "not of fixed size";
}

using SignInLayoutTest = SignInTest;

TEST_F(SignInLayoutTest, WindowFramesAndStoredAccount) {
  store.set_tovixproxy_account("alice@example.com");
  store.set_tovixproxy_password("  spaced  ");
  open(false);
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("登录") + QString::fromStdString(app_brand::get_org_name()));
  EXPECT_FALSE(QString::fromStdString(app_brand::get_org_name()).isEmpty());
  EXPECT_EQ(dialog->size(), QSize(380, 380));
  expect_title_bar_with_close_only(*dialog);
  const QMargins margins = dialog->layout()->contentsMargins();
  EXPECT_EQ(margins, QMargins(24, 16, 24, 16));
  EXPECT_EQ(dialog->layout()->spacing(), 8);

  EXPECT_EQ(edit("edit_account")->text(), "alice@example.com");
  EXPECT_EQ(edit("edit_password")->text(), "  spaced  ") << "a stored password is shown as saved";
  EXPECT_EQ(edit("edit_password")->echoMode(), QLineEdit::Password);
}

TEST_F(SignInLayoutTest, WidgetsCarryTheirTextsSizesAndStyles) {
  open(false);
  struct Edit {
    const char* name;
    const char* placeholder;
    int max_length;
  };
  for (const Edit& expected : {Edit{"edit_account", "手机号或邮箱", 32767}, Edit{"edit_password", "请输入密码", 32767},
                               Edit{"edit_captcha", "请输入验证码", 10}, Edit{"edit_phone", "请输入手机号", 32767},
                               Edit{"edit_sms_code", "请输入短信验证码", 10}}) {
    QLineEdit* field = edit(expected.name);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->placeholderText(), QString::fromUtf8(expected.placeholder)) << expected.name;
    EXPECT_EQ(field->maxLength(), expected.max_length) << expected.name;
  }

  struct Button {
    const char* name;
    const char* text;
    const char* style;
  };
  for (const Button& expected :
       {Button{"btn_password_tab", "密码登录", kTabStyle}, Button{"btn_code_tab", "验证码登录", kTabStyle},
        Button{"btn_login", "登 录", kLoginStyle}, Button{"btn_code_login", "登 录", kLoginStyle},
        Button{"btn_send_code", "获取验证码", kSendStyle}}) {
    QPushButton* control = button(expected.name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->text(), QString::fromUtf8(expected.text)) << expected.name;
    EXPECT_EQ(control->styleSheet(), expected.style) << expected.name;
    EXPECT_EQ(control->cursor().shape(), Qt::PointingHandCursor) << expected.name;
  }
  EXPECT_TRUE(button("btn_password_tab")->isChecked());
  EXPECT_FALSE(button("btn_code_tab")->isChecked());
  EXPECT_EQ(button("btn_send_code")->width(), 90);

  QLabel* captcha = label("captcha_image");
  EXPECT_EQ(captcha->size(), QSize(110, 46));
  EXPECT_EQ(captcha->toolTip(), "点击刷新验证码");
  EXPECT_EQ(captcha->styleSheet(), kCaptchaStyle);
  EXPECT_EQ(captcha->cursor().shape(), Qt::PointingHandCursor);
  QLabel* prefix = label("edit_phone_prefix");
  EXPECT_EQ(prefix->text(), "+86");
  EXPECT_EQ(prefix->width(), 36);
  EXPECT_EQ(prefix->styleSheet(), kPrefixStyle);
  for (const char* name : {"label_status", "label_status_code"}) {
    EXPECT_EQ(label(name)->text(), "") << name;
    EXPECT_EQ(label(name)->styleSheet(), kNeutral) << name;
    EXPECT_EQ(label(name)->alignment(), Qt::AlignCenter) << name;
  }
}

TEST_F(SignInLayoutTest, TabsSwitchPagesAndTheLinkOpensRegistration) {
  open(false);
  auto* stack = widget<QStackedWidget>("stack");
  QTest::mouseClick(button("btn_code_tab"), Qt::LeftButton);
  EXPECT_EQ(stack->currentIndex(), 1);
  EXPECT_TRUE(button("btn_code_tab")->isChecked());
  EXPECT_FALSE(button("btn_password_tab")->isChecked());
  QTest::mouseClick(button("btn_code_tab"), Qt::LeftButton);
  EXPECT_TRUE(button("btn_code_tab")->isChecked()) << "clicking the current tab keeps it chosen";
  QTest::mouseClick(button("btn_password_tab"), Qt::LeftButton);
  EXPECT_EQ(stack->currentIndex(), 0);
  EXPECT_TRUE(button("btn_password_tab")->isChecked());
  EXPECT_FALSE(button("btn_code_tab")->isChecked());

  QLabel* link = label("register_link");
  EXPECT_TRUE(link->text().contains(QStringLiteral("没有会员？立即注册")));
  EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
  BrowserSpy browser;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
  emit link->linkActivated(QString::fromStdString(console.base_url() + "/regist.htm"));
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  ASSERT_EQ(browser.opened.size(), 1);
  EXPECT_EQ(browser.opened[0], QUrl(QString::fromStdString(console.base_url() + "/regist.htm")));
  EXPECT_TRUE(link->text().contains(QString::fromStdString("href=\"" + console.base_url() + "/regist.htm\"")))
      << link->text().toStdString();
}

TEST_F(SignInLayoutTest, RegistrationIsOnTheConsoleSiteWhateverItsPath) {
  store.set_tovixproxy_base_url(console.base_url() + "/member/");
  open(false);
  EXPECT_TRUE(label("register_link")->text().contains(QString::fromStdString(console.base_url() + "/regist.htm\"")));
  store.set_tovixproxy_base_url("not a url");
  dialog = std::make_unique<ui::SignInDialog>(store);
  EXPECT_TRUE(label("register_link")->text().contains(QStringLiteral("https://console.tovix.example/regist.htm")));
}

TEST(CaptchaInputDialogTest, PromptLayoutFocusAndTrimmedText) {
  ui::CaptchaInputDialog prompt(QString::fromStdString(captcha_png_base64()));
  EXPECT_EQ(prompt.windowTitle(), "输入图形验证码");
  EXPECT_EQ(prompt.size(), QSize(250, 160));
  expect_title_bar_with_close_only(prompt);
  EXPECT_EQ(prompt.layout()->contentsMargins(), QMargins(16, 12, 16, 12));
  auto* image = prompt.findChild<QLabel*>(QStringLiteral("captcha_image"));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->styleSheet(), kCaptchaStyle);
  ASSERT_FALSE(image->pixmap().isNull());
  EXPECT_LE(image->pixmap().width(), 110);
  EXPECT_LE(image->pixmap().height(), 46);
  auto* field = prompt.findChild<QLineEdit*>(QStringLiteral("edit_captcha"));
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->placeholderText(), "请输入图形验证码");
  EXPECT_EQ(field->maxLength(), 10);
  prompt.show();
  EXPECT_EQ(prompt.focusWidget(), field);

  QTest::keyClicks(field, QStringLiteral("  ab 12 "));
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(prompt.result(), QDialog::Accepted) << "Return confirms";
  EXPECT_EQ(prompt.get_captcha_text(), "ab 12");

  ui::CaptchaInputDialog cancelled(QStringLiteral("not an image"));
  cancelled.show();
  for (QPushButton* control : cancelled.findChildren<QPushButton*>()) {
    EXPECT_EQ(control->cursor().shape(), Qt::PointingHandCursor);
    if (control->text() == QStringLiteral("取消")) QTest::mouseClick(control, Qt::LeftButton);
  }
  EXPECT_EQ(cancelled.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace tovix::testing

#include "signin_layout_test.moc"
