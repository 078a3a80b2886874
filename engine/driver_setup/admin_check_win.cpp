#include <windows.h>
// windows.h first: shlobj.h relies on its types.
#include <shlobj.h>

#include "engine/driver_setup/driver_setup.h"

namespace tovix {

// TRUE only in an elevated process; a filtered administrator token counts as no rights.
bool is_admin() { return IsUserAnAdmin() != FALSE; }

}  // namespace tovix
