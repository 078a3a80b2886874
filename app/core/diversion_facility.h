#pragma once
// What the packet diversion of this platform needs, and whether it is there: on Windows the
// WinDivert driver files and service (installable from the window), on Linux root rights, the
// kernel's NFQUEUE support and iptables. Blocking (the Windows checks run `sc`): call it off
// the GUI thread.
#include <string>
#include <vector>

namespace tovix::app {

struct FacilityCheck {
  std::string label;
  bool ok = false;
  std::string detail;
};

struct DiversionFacility {
  // True where the driver is installed and removed from the window (Windows).
  bool driver_managed = false;
  std::string summary;
  std::vector<FacilityCheck> checks;

  bool ready() const;
};

DiversionFacility check_diversion_facility();

}  // namespace tovix::app
