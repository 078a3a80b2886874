// A small program the command-runner tests start: it prints its arguments, writes to both
// streams, exits with a given code or sleeps, as its first argument says.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

static int probe_main(int argc, char** argv) {
  if (argc < 2) return 64;
  const std::string mode = argv[1];
  if (mode == "args") {
    for (int i = 2; i < argc; ++i) std::printf("[%s]\n", argv[i]);
    return 0;
  }
  if (mode == "exit") return std::atoi(argv[2]);
  if (mode == "streams") {
    std::fputs("to stdout", stdout);
    std::fputs("to stderr", stderr);
    return 0;
  }
  if (mode == "flood") {  // more than any pipe buffer, on both streams
    const std::string line(1023, 'x');
    for (int i = 0; i < 2048; ++i) {
      std::printf("%s\n", line.c_str());
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    return 0;
  }
  if (mode == "bytes") {
    std::fwrite("ok \xff\xfe \xe4\xb8\xad", 1, 9, stdout);
    return 0;
  }
  if (mode == "sleep-then-touch") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    std::ofstream(argv[3]) << "still alive";
    return 0;
  }
  return 64;
}

#ifdef _WIN32
// Wide arguments, so text outside the ANSI code page arrives intact; printed as UTF-8.
int wmain(int argc, wchar_t** wide_argv) {
  std::vector<std::string> storage;
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, text.data(), size, nullptr, nullptr);
    text.resize(std::strlen(text.c_str()));
    storage.push_back(text);
  }
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return probe_main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return probe_main(argc, argv); }
#endif
