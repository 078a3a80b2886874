#include <cstdlib>

#include "tests/support/scripted_tool.h"

namespace tovix::testing {

const char PATH_LIST_SEPARATOR = ':';

void set_environment(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

}  // namespace tovix::testing
