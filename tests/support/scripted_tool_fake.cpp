// Stands in for a system tool (the service control tool, the task scheduler's tool) in tests.
// Each run appends its argument vector to calls.log and answers as scripted, both in the folder
// named by TOVIX_SCRIPTED_TOOL_HOME:
//   answers/<verb>/<n>/   the answer to the n-th run (from 1) with that first argument,
//   answers/<verb>/any/   the answer to every other run with it;
// a verb's folder is the argument with its slashes as underscores ("/Create": "_Create").
// each answer folder holds "code", and optionally "out", "err" and "delay_ms".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int read_number(const fs::path& file) {
  const auto text = read_file(file);
  return text.empty() ? 0 : std::atoi(text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const char* home_text = std::getenv("TOVIX_SCRIPTED_TOOL_HOME");
  if (home_text == nullptr) {
    std::cerr << "scripted tool: TOVIX_SCRIPTED_TOOL_HOME is not set\n";
    return 90;
  }
  const fs::path home(home_text);
  {
    std::ofstream log(home / "calls.log", std::ios::binary | std::ios::app);
    for (int i = 1; i < argc; ++i) log << (i > 1 ? "\x1f" : "") << argv[i];
    log << '\n';
  }

  std::string verb = argc > 1 ? argv[1] : "";
  for (char& c : verb) {
    if (c == '/' || c == '\\') c = '_';
  }
  const auto counter = home / (verb + ".count");
  const int run = read_number(counter) + 1;
  std::ofstream(counter, std::ios::binary | std::ios::trunc) << run;

  auto answer = home / "answers" / verb / std::to_string(run);
  if (!fs::exists(answer / "code")) answer = home / "answers" / verb / "any";
  if (!fs::exists(answer / "code")) {
    std::cerr << "scripted tool: no answer scripted for " << verb << " run " << run << '\n';
    return 91;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(read_number(answer / "delay_ms")));
  std::cout << read_file(answer / "out") << std::flush;
  std::cerr << read_file(answer / "err") << std::flush;
  return read_number(answer / "code");
}
