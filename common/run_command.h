#pragma once
// Runs a program with an argument vector and captures what it prints.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/common_export.h"

namespace tovix {

struct CommandResult {
  int exit_code = -1;
  std::string standard_output;  // UTF-8; undecodable bytes replaced by U+FFFD
  std::string standard_error;   // same
};

// The program could not be started (not found, not executable, no resources).
class COMMON_EXPORT CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The program ran past its time-out and was killed.
class COMMON_EXPORT CommandTimeout : public CommandError {
 public:
  using CommandError::CommandError;
};

// argv[0] is looked up on PATH. On Windows the vector becomes one command line by the standard
// quoting rules and no console window is shown. Blocks until the program ends or the time-out
// passes; throws CommandError or CommandTimeout.
COMMON_EXPORT CommandResult run_command(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// run_command, or a stand-in for it where a caller takes one.
using CommandRunner = std::function<CommandResult(const std::vector<std::string>&, std::chrono::milliseconds)>;

}  // namespace tovix
