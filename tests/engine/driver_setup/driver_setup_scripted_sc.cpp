#include "tests/engine/driver_setup/driver_setup_scripted_sc.h"

#include <cstdlib>
#include <sstream>

#include "common/paths.h"

namespace tovix::testing {

namespace fs = std::filesystem;

std::string get_environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

ScriptedSc::ScriptedSc() : _saved_path(get_environment("PATH")) {
  // The fake is built beside the test executable; its copy carries the name `sc` looks up.
  const fs::path built = executable_dir() / DRIVER_SETUP_FAKE_SC_NAME;
  fs::copy_file(built, _home / ("sc" + built.extension().string()));
  fs::permissions(_home / ("sc" + built.extension().string()), fs::perms::owner_all, fs::perm_options::add);
  fs::create_directory(_home / "answers");
  set_environment("TOVIX_FAKE_SC_HOME", _home.path().string());
  set_environment("PATH", _home.path().string() + PATH_LIST_SEPARATOR + _saved_path);
}

ScriptedSc::~ScriptedSc() { set_environment("PATH", _saved_path); }

void ScriptedSc::answer(const std::string& verb, const ScAnswer& answer) {
  _write_answer(_home / "answers" / verb / "any", answer);
}

void ScriptedSc::answer(const std::string& verb, int nth, const ScAnswer& answer) {
  _write_answer(_home / "answers" / verb / std::to_string(nth), answer);
}

void ScriptedSc::_write_answer(const fs::path& folder, const ScAnswer& answer) {
  fs::create_directories(folder);
  write_text(folder / "out", answer.out);
  write_text(folder / "err", answer.err);
  write_text(folder / "delay_ms", std::to_string(answer.delay.count()));
  write_text(folder / "code", std::to_string(answer.code));
}

std::vector<std::vector<std::string>> ScriptedSc::calls() const {
  std::vector<std::vector<std::string>> calls;
  if (!fs::exists(_home / "calls.log")) return calls;
  std::istringstream lines(read_text(_home / "calls.log"));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> argv;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\x1f');) argv.push_back(field);
    calls.push_back(argv);
  }
  return calls;
}

}  // namespace tovix::testing
