#pragma once
// Shared by the sign-in window's tests: a console fake per test, a settings store on a temporary
// file pointed at it, and ways to reach the window's widgets and the modal boxes it opens.
#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "config/settings_store.h"
#include "tests/support/console_fake.h"
#include "tests/support/temp_dir.h"
#include "ui/signin_dialog/captcha_input_dialog.h"
#include "ui/signin_dialog/signin_dialog.h"
#include "ui/worker_slot.h"

namespace tovix::testing {

using nlohmann::ordered_json;

inline constexpr const char* kCaptchaPath = "/console/v1/captcha";
inline constexpr const char* kLoginPath = "/console/v1/login";
inline constexpr const char* kVerifyPath = "/captcha/tp_captcha/index/verify";
inline constexpr const char* kSmsPath = "/console/v1/phone/code";

// Processes events until done() holds; false after timeout_ms. Results arrive by queued signal.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 15000) {
  return QTest::qWaitFor(done, timeout_ms);
}

// A captcha picture with readable text, as Base64 PNG.
inline std::string captcha_png_base64(const QString& text = QStringLiteral("7kQx")) {
  QImage image(110, 46, QImage::Format_RGB32);
  image.fill(QColor("#f5e0dc"));
  QPainter painter(&image);
  QFont font = painter.font();
  font.setPixelSize(26);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(QColor("#1e66f5"));
  painter.drawText(image.rect(), Qt::AlignCenter, text);
  painter.end();
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return buffer.data().toBase64().toStdString();
}

inline ordered_json captcha_page(const std::string& token) {
  std::string html = "<img src=\"data:image/png;base64," + captcha_png_base64() + "\">";
  if (!token.empty()) html += "<script>var tokenTag = '" + token + "';</script>";
  return {{"status", 200}, {"data", {{"html", html}}}};
}

// Acts once on the first modal window of type T that opens (message boxes and prompts run an event
// loop of their own, inside the window's slot).
template <class T>
class OnModal {
 public:
  explicit OnModal(std::function<void(T*)> act) : _act(std::move(act)) {
    QObject::connect(&_timer, &QTimer::timeout, [this] {
      if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget())) {
        _timer.stop();
        ++_seen;
        _act(window);
      }
    });
    _timer.start(5);
  }
  int seen() const { return _seen; }

 private:
  std::function<void(T*)> _act;
  QTimer _timer;
  int _seen = 0;
};

// What the test saw in a login failure box.
struct SeenBox {
  QString title;
  QString text;
};

inline std::unique_ptr<OnModal<QMessageBox>> close_box(SeenBox& seen) {
  return std::make_unique<OnModal<QMessageBox>>([&seen](QMessageBox* box) {
    seen = {box->windowTitle(), box->text()};
    box->done(QMessageBox::Ok);
  });
}

// Types text into the captcha prompt and confirms it (or cancels it when text is absent).
inline std::unique_ptr<OnModal<ui::CaptchaInputDialog>> answer_prompt(std::optional<QString> text) {
  return std::make_unique<OnModal<ui::CaptchaInputDialog>>([text](ui::CaptchaInputDialog* prompt) {
    if (!text) {
      prompt->reject();
      return;
    }
    prompt->findChild<QLineEdit*>(QStringLiteral("edit_captcha"))->setText(*text);
    prompt->accept();
  });
}

class SignInTest : public ::testing::Test {
 protected:
  SignInTest() {
    store.set_tovixproxy_base_url(console.base_url());
    console.answer_json("GET", kCaptchaPath, captcha_page("tok-1"));
  }
  ~SignInTest() override {
    dialog.reset();
    console.stop_holding();
    // Workers the window let go of end once the fake has answered; none may outlive the test.
    EXPECT_TRUE(ui::wait_for_released_workers(20000));
  }

  // A window on the store; the first captcha has loaded unless told otherwise.
  ui::SignInDialog& open(bool wait_for_captcha = true) {
    dialog = std::make_unique<ui::SignInDialog>(store);
    dialog->show();
    if (wait_for_captcha) {
      EXPECT_TRUE(wait_until([&] { return !label("captcha_image")->pixmap().isNull(); })) << "no captcha shown";
    }
    return *dialog;
  }

  template <class T = QWidget>
  T* widget(const char* name) const {
    T* found = dialog->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QLabel* label(const char* name) const { return widget<QLabel>(name); }
  QLineEdit* edit(const char* name) const { return widget<QLineEdit>(name); }
  QPushButton* button(const char* name) const { return widget<QPushButton>(name); }

  std::size_t requests_to(const std::string& path) const {
    std::size_t count = 0;
    for (const RecordedRequest& request : console.requests()) count += request.path == path ? 1 : 0;
    return count;
  }
  RecordedRequest last_to(const std::string& path) const {
    RecordedRequest last;
    for (const RecordedRequest& request : console.requests()) {
      if (request.path == path) last = request;
    }
    return last;
  }
  bool wait_for_requests(const std::string& path, std::size_t count) const {
    return wait_until([&] { return requests_to(path) >= count; });
  }
  // Runs the window's private slot by name, as its timers and signals do.
  void invoke(const char* slot) { ASSERT_TRUE(QMetaObject::invokeMethod(dialog.get(), slot)); }

  ConsoleFake console;
  TempDir folder;
  SettingsStore store{folder / "config.json"};
  std::unique_ptr<ui::SignInDialog> dialog;
};

}  // namespace tovix::testing
