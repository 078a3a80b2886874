#include <cstdlib>

#include "tests/engine/driver_setup/driver_setup_scripted_sc.h"

namespace tovix::testing {

const char PATH_LIST_SEPARATOR = ':';

void set_environment(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

}  // namespace tovix::testing
