#pragma once
// The look the sign-in window and its captcha prompt share.
#include <Qt>

namespace tovix::ui {

// Title bar with a close button only: neither window can be minimised or maximised.
inline constexpr Qt::WindowFlags SIGNIN_WINDOW_FLAGS{Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint};

// The box a captcha image is shown in.
inline constexpr int CAPTCHA_WIDTH = 110;
inline constexpr int CAPTCHA_HEIGHT = 46;
inline constexpr const char* CAPTCHA_STYLE = "border: 1px solid #585b70; border-radius: 4px; background: #313244;";

inline constexpr const char* TITLE_STYLE = "font-size: 18px; font-weight: bold; color: #89b4fa;";
inline constexpr const char* TAB_STYLE =
    "QPushButton {  font-size: 13px; padding: 6px 16px;  border: 1px solid #585b70;  background: #313244; "
    "color: #a6adc8;}QPushButton:checked {  background: #89b4fa; color: #1e1e2e; font-weight: bold;  border-color: "
    "#89b4fa;}QPushButton:hover:!checked {  background: #45475a;}";
inline constexpr const char* LOGIN_BUTTON_STYLE =
    "QPushButton {  background-color: #89b4fa; color: #1e1e2e;  font-size: 15px; font-weight: bold; padding: 10px "
    "32px;  border-radius: 8px; min-height: 40px;}QPushButton:hover { background-color: #b4d0fb; "
    "}QPushButton:disabled { background-color: #45475a; color: #6c7086; }";
// The sign-in button once a sign-in has answered: fixed at 80 x 36, where the padding above
// would leave "登 录" 16 px of its 36; the same look with the room for its text.
inline constexpr int LOGIN_BUTTON_ANSWERED_WIDTH = 80;
inline constexpr int LOGIN_BUTTON_ANSWERED_HEIGHT = 36;
inline constexpr const char* LOGIN_BUTTON_ANSWERED_STYLE =
    "QPushButton {  background-color: #89b4fa; color: #1e1e2e;  font-size: 15px; font-weight: bold; padding: 4px "
    "12px;  border-radius: 8px;}QPushButton:hover { background-color: #b4d0fb; "
    "}QPushButton:disabled { background-color: #45475a; color: #6c7086; }";
inline constexpr const char* SEND_CODE_STYLE =
    "QPushButton {  font-size: 12px; padding: 4px 8px;  background: #45475a; color: #cdd6f4;  border: 1px solid "
    "#585b70; border-radius: 4px;}QPushButton:hover { background: #585b70; }QPushButton:disabled { background: "
    "#313244; color: #6c7086; }";
inline constexpr const char* PHONE_PREFIX_STYLE =
    "font-size: 13px; color: #a6adc8; background: #313244;border: 1px solid #585b70; border-radius: 4px; padding: "
    "4px;";

}  // namespace tovix::ui
