// The widgets of the sign-in window and how they are wired.
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <tuple>
#include <utility>

#include "app/brand/app_brand.h"
#include "ui/pointing_button.h"
#include "ui/signin_dialog/signin_dialog.h"
#include "ui/signin_dialog/signin_look.h"
#include "ui/status_style.h"

namespace tovix::ui {
namespace {

constexpr int FIELD_LABEL_WIDTH = 50;
constexpr int CODE_TEXT_LIMIT = 10;

QLabel* field_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFixedWidth(FIELD_LABEL_WIDTH);
  return label;
}

QLineEdit* line_edit(const char* name, const QString& placeholder, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setPlaceholderText(placeholder);
  return edit;
}

// A field for a code the user reads off an image or an SMS.
QLineEdit* code_edit(const char* name, const QString& placeholder, QWidget* parent) {
  QLineEdit* edit = line_edit(name, placeholder, parent);
  edit->setMaxLength(CODE_TEXT_LIMIT);
  return edit;
}

// Return in a line edit of this window is handled by the edit itself: no button may be the
// window's default one, or it would be pressed as well.
QPushButton* hand_button(const QString& text, const char* name, const char* style) {
  QPushButton* button = pointing_button(text, QString::fromLatin1(name), QString::fromUtf8(style));
  button->setAutoDefault(false);
  return button;
}

QLabel* status_label(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignCenter);
  label->setStyleSheet(QString::fromUtf8(STATUS_STYLE_NEUTRAL));
  return label;
}

// The status line and the sign-in button that end each page.
std::pair<QLabel*, QPushButton*> page_end(QVBoxLayout* layout, const char* status_name, const char* button_name,
                                          QWidget* page) {
  QLabel* status = status_label(status_name, page);
  layout->addWidget(status);
  QPushButton* button = hand_button(QStringLiteral("登 录"), button_name, LOGIN_BUTTON_STYLE);
  layout->addWidget(button);
  return {status, button};
}

QHBoxLayout* row(std::initializer_list<QWidget*> widgets) {
  auto* layout = new QHBoxLayout;
  for (QWidget* widget : widgets) layout->addWidget(widget);
  return layout;
}

QVBoxLayout* page_layout(QWidget* page) {
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 4, 0, 0);
  layout->setSpacing(8);
  return layout;
}

}  // namespace

void SignInDialog::_build_layout() {
  setWindowTitle(QStringLiteral("登录") + QString::fromStdString(app_brand::get_org_name()));
  setFixedSize(380, 380);
  setWindowFlags(SIGNIN_WINDOW_FLAGS);

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(24, 16, 24, 16);
  root->setSpacing(8);

  auto* title = new QLabel(QStringLiteral("会员登录"), this);
  title->setAlignment(Qt::AlignCenter);
  title->setStyleSheet(QString::fromUtf8(TITLE_STYLE));
  auto* register_link = new QLabel(this);
  register_link->setObjectName(QStringLiteral("register_link"));
  register_link->setTextFormat(Qt::RichText);
  register_link->setText(QStringLiteral("<a href=\"%1\" style=\"color: #89b4fa; text-decoration: none; "
                                        "font-size: 12px;\">没有会员？立即注册</a>")
                             .arg(_registration_url().toHtmlEscaped()));
  register_link->setCursor(Qt::PointingHandCursor);
  register_link->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  connect(register_link, &QLabel::linkActivated, this, &SignInDialog::_open_registration);
  auto* title_row = row({title, register_link});
  title_row->setContentsMargins(0, 0, 0, 0);
  root->addLayout(title_row);

  btn_password_tab = hand_button(QStringLiteral("密码登录"), "btn_password_tab", TAB_STYLE);
  btn_code_tab = hand_button(QStringLiteral("验证码登录"), "btn_code_tab", TAB_STYLE);
  btn_password_tab->setCheckable(true);
  btn_code_tab->setCheckable(true);
  btn_password_tab->setChecked(true);
  connect(btn_password_tab, &QPushButton::clicked, this, [this] { _switch_tab(0); });
  connect(btn_code_tab, &QPushButton::clicked, this, [this] { _switch_tab(1); });
  auto* tab_row = row({btn_password_tab, btn_code_tab});
  tab_row->setSpacing(0);
  tab_row->addStretch();
  root->addLayout(tab_row);

  stack = new QStackedWidget(this);
  stack->setObjectName(QStringLiteral("stack"));
  stack->addWidget(_build_password_page());
  stack->addWidget(_build_sms_page());
  root->addWidget(stack);

  _countdown_timer = new QTimer(this);
  _countdown_timer->setObjectName(QStringLiteral("_countdown_timer"));
  connect(_countdown_timer, &QTimer::timeout, this, &SignInDialog::_on_countdown_tick);
  _first_captcha_timer = new QTimer(this);
  _first_captcha_timer->setSingleShot(true);
  connect(_first_captcha_timer, &QTimer::timeout, this, &SignInDialog::_fetch_captcha);
}

QWidget* SignInDialog::_build_password_page() {
  auto* page = new QWidget(this);
  QVBoxLayout* layout = page_layout(page);

  edit_account = line_edit("edit_account", QStringLiteral("手机号或邮箱"), page);
  layout->addLayout(row({field_label(QStringLiteral("账号:"), page), edit_account}));

  edit_password = line_edit("edit_password", QStringLiteral("请输入密码"), page);
  edit_password->setEchoMode(QLineEdit::Password);
  layout->addLayout(row({field_label(QStringLiteral("密码:"), page), edit_password}));

  captcha_image = new QLabel(page);
  captcha_image->setObjectName(QStringLiteral("captcha_image"));
  captcha_image->setFixedSize(CAPTCHA_WIDTH, CAPTCHA_HEIGHT);
  captcha_image->setCursor(Qt::PointingHandCursor);
  captcha_image->setToolTip(QStringLiteral("点击刷新验证码"));
  captcha_image->setStyleSheet(QString::fromUtf8(CAPTCHA_STYLE));
  captcha_image->setAlignment(Qt::AlignCenter);
  captcha_image->installEventFilter(this);
  edit_captcha = code_edit("edit_captcha", QStringLiteral("请输入验证码"), page);
  connect(edit_captcha, &QLineEdit::returnPressed, this, &SignInDialog::_on_login);
  layout->addLayout(row({field_label(QStringLiteral("验证码:"), page), captcha_image, edit_captcha}));

  std::tie(label_status, btn_login) = page_end(layout, "label_status", "btn_login", page);
  connect(btn_login, &QPushButton::clicked, this, &SignInDialog::_on_login);
  return page;
}

QWidget* SignInDialog::_build_sms_page() {
  auto* page = new QWidget(this);
  QVBoxLayout* layout = page_layout(page);

  edit_phone_prefix = new QLabel(QStringLiteral("+86"), page);
  edit_phone_prefix->setObjectName(QStringLiteral("edit_phone_prefix"));
  edit_phone_prefix->setFixedWidth(36);
  edit_phone_prefix->setAlignment(Qt::AlignCenter);
  edit_phone_prefix->setStyleSheet(QString::fromUtf8(PHONE_PREFIX_STYLE));
  edit_phone = line_edit("edit_phone", QStringLiteral("请输入手机号"), page);
  layout->addLayout(row({field_label(QStringLiteral("手机号:"), page), edit_phone_prefix, edit_phone}));

  edit_sms_code = code_edit("edit_sms_code", QStringLiteral("请输入短信验证码"), page);
  connect(edit_sms_code, &QLineEdit::returnPressed, this, &SignInDialog::_on_code_login);
  btn_send_code = hand_button(QStringLiteral("获取验证码"), "btn_send_code", SEND_CODE_STYLE);
  btn_send_code->setFixedWidth(90);
  connect(btn_send_code, &QPushButton::clicked, this, &SignInDialog::_on_send_code);
  layout->addLayout(row({field_label(QStringLiteral("验证码:"), page), edit_sms_code, btn_send_code}));

  layout->addStretch();
  std::tie(label_status_code, btn_code_login) = page_end(layout, "label_status_code", "btn_code_login", page);
  connect(btn_code_login, &QPushButton::clicked, this, &SignInDialog::_on_code_login);
  return page;
}

}  // namespace tovix::ui
