#pragma once
// A long-running helper program (an upstream proxy) started by a test fixture and killed
// when the object goes.
#include <string>
#include <vector>

namespace tovix::testing {

// The helper programs are Linux programs, also when the tests run under Wine (Wine starts
// them on the host), so arguments are host (Unix) paths.
class ChildProcess {
 public:
  // argv[0] is an absolute host path; the child's output is discarded. Throws when it cannot
  // start.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running();
  void kill();

 private:
  struct Handle;
  Handle* _handle;
};

// A file in the host's temporary folder: the path the test opens and the one a child gets.
struct HostFile {
  std::string for_test;
  std::string for_child;
};
HostFile host_temp_file(const std::string& name);

}  // namespace tovix::testing
