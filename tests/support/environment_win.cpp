#include <cstdlib>

#include "tests/support/scripted_tool.h"

namespace tovix::testing {

const char PATH_LIST_SEPARATOR = ';';

// _putenv_s updates the C runtime's copy and the process environment that children inherit.
void set_environment(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

}  // namespace tovix::testing
