#include <unistd.h>

#include "engine/driver_setup/driver_setup.h"

namespace tovix {

// Linux has no elevation: root is what administrator rights mean here.
bool is_admin() { return geteuid() == 0; }

}  // namespace tovix
