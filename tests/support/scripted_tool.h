#pragma once
// A scripted command line tool (`sc`, `schtasks`) placed first on PATH for one test: a copy of
// scripted_tool_fake under the tool's name in a fresh folder. It records every argument vector
// it gets and answers as the test says. One at a time per process.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tovix::testing {

struct ToolAnswer {
  std::string out;
  std::string err;
  int code = 0;
  std::chrono::milliseconds delay{0};
};

class ScriptedTool {
 public:
  // `name` without the ".exe" ending.
  explicit ScriptedTool(const std::string& name);
  ~ScriptedTool();  // puts PATH back
  ScriptedTool(const ScriptedTool&) = delete;
  ScriptedTool& operator=(const ScriptedTool&) = delete;

  // The answer to every run of `<tool> <verb> ...` that has no answer of its own.
  void answer(const std::string& verb, const ToolAnswer& answer);
  // The answer to the nth run (counted from 1) of `<tool> <verb> ...`.
  void answer(const std::string& verb, int nth, const ToolAnswer& answer);

  // Every argument vector received so far, without the program name.
  std::vector<std::vector<std::string>> calls() const;

 private:
  void _write_answer(const std::filesystem::path& folder, const ToolAnswer& answer);

  TempDir _home;
  std::string _saved_path;
};

// The process environment, for tests only.
std::string get_environment(const std::string& name);
void set_environment(const std::string& name, const std::string& value);
extern const char PATH_LIST_SEPARATOR;

}  // namespace tovix::testing
