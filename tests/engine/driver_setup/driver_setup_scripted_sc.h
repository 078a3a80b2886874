#pragma once
// A scripted `sc` placed first on PATH for one test: a copy of the fake tool in a fresh folder.
// It records every argument vector it gets and answers as the test says.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tovix::testing {

struct ScAnswer {
  std::string out;
  std::string err;
  int code = 0;
  std::chrono::milliseconds delay{0};
};

class ScriptedSc {
 public:
  ScriptedSc();
  ~ScriptedSc();  // puts PATH back
  ScriptedSc(const ScriptedSc&) = delete;
  ScriptedSc& operator=(const ScriptedSc&) = delete;

  // The answer to every run of `sc <verb> ...` that has no answer of its own.
  void answer(const std::string& verb, const ScAnswer& answer);
  // The answer to the nth run (counted from 1) of `sc <verb> ...`.
  void answer(const std::string& verb, int nth, const ScAnswer& answer);

  // Every argument vector received so far, without the program name.
  std::vector<std::vector<std::string>> calls() const;

 private:
  void _write_answer(const std::filesystem::path& folder, const ScAnswer& answer);

  TempDir _home;
  std::string _saved_path;
};

// The process environment, for tests only.
std::string get_environment(const std::string& name);
void set_environment(const std::string& name, const std::string& value);
extern const char PATH_LIST_SEPARATOR;

}  // namespace tovix::testing
