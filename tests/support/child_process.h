#pragma once
// A long-running helper program (an upstream proxy) started by a test fixture and killed
// when the object goes.
#include <string>
#include <vector>

namespace tovix::testing {

class ChildProcess {
 public:
  // argv[0] is an absolute path; the child's output is discarded. Throws when it cannot start.
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

}  // namespace tovix::testing
