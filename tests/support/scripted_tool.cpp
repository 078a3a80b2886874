#include "tests/support/scripted_tool.h"

#include <cstdlib>
#include <sstream>

#include "common/paths.h"

namespace tovix::testing {

namespace fs = std::filesystem;

std::string get_environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

ScriptedTool::ScriptedTool(const std::string& name) : _saved_path(get_environment("PATH")) {
  // The fake is built beside the test executable; its copy carries the name the tool is looked up by.
  const fs::path built = executable_dir() / SCRIPTED_TOOL_FAKE_NAME;
  const fs::path copy = _home / (name + built.extension().string());
  fs::copy_file(built, copy);
  fs::permissions(copy, fs::perms::owner_all, fs::perm_options::add);
  fs::create_directory(_home / "answers");
  set_environment("TOVIX_SCRIPTED_TOOL_HOME", _home.path().string());
  set_environment("PATH", _home.path().string() + PATH_LIST_SEPARATOR + _saved_path);
}

ScriptedTool::~ScriptedTool() { set_environment("PATH", _saved_path); }

// Options such as "/Create" are verbs too; their folder names have no slashes.
static std::string verb_folder(std::string verb) {
  for (char& c : verb) {
    if (c == '/' || c == '\\') c = '_';
  }
  return verb;
}

void ScriptedTool::answer(const std::string& verb, const ToolAnswer& answer) {
  _write_answer(_home / "answers" / verb_folder(verb) / "any", answer);
}

void ScriptedTool::answer(const std::string& verb, int nth, const ToolAnswer& answer) {
  _write_answer(_home / "answers" / verb_folder(verb) / std::to_string(nth), answer);
}

void ScriptedTool::_write_answer(const fs::path& folder, const ToolAnswer& answer) {
  fs::create_directories(folder);
  write_text(folder / "out", answer.out);
  write_text(folder / "err", answer.err);
  write_text(folder / "delay_ms", std::to_string(answer.delay.count()));
  write_text(folder / "code", std::to_string(answer.code));
}

std::vector<std::vector<std::string>> ScriptedTool::calls() const {
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
