#pragma once
// Shared by the products-dialog tests: the settings store on a temporary file for the whole
// executable, a fake console signed in to, waits on the event loop and closing of modal boxes.
#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/console_fake.h"

namespace tovix::testing {

inline constexpr const char* kToken = "eyJ.plan.token";

// Runs the event loop until condition holds; false when timeout_ms passes first.
bool wait_until(const std::function<bool()>& condition, int timeout_ms = 30000);

// Points the shared settings at the console with a token (or with none).
void sign_in(const ConsoleFake& console);
void sign_out();

// A listing answer of the console with these items.
nlohmann::ordered_json listing(const nlohmann::ordered_json& items);

// Calls act once for each modal widget of type T that becomes active while the watcher lives;
// act must close it.
class ModalWatcher {
 public:
  template <class T>
  static std::unique_ptr<ModalWatcher> on(std::function<void(T*)> act) {
    return std::unique_ptr<ModalWatcher>(new ModalWatcher([act](QWidget* widget) {
      T* typed = qobject_cast<T*>(widget);
      if (typed != nullptr) act(typed);
      return typed != nullptr;
    }));
  }
  ~ModalWatcher();
  int handled() const { return _handled; }

 private:
  explicit ModalWatcher(std::function<bool(QWidget*)> act);
  std::function<bool(QWidget*)> _act;
  QTimer _timer;
  QPointer<QWidget> _last;
  int _handled = 0;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { sign_in(console); }
  ConsoleFake console;
};

}  // namespace tovix::testing
