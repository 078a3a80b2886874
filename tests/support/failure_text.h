#pragma once
// The text of the `Error` that `action` throws; records a test failure when it throws none.
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace tovix::testing {

template <typename Error>
std::string failure_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.what();
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

// The `Error` that `action` throws; records a test failure when it throws none.
template <typename Error>
std::optional<Error> thrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "nothing was thrown";
  return std::nullopt;
}

}  // namespace tovix::testing
