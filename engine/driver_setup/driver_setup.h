#pragma once
// Checks, installs, starts and removes the WinDivert packet driver service. All service work goes
// through the `sc` command line tool; nothing is remembered between calls. The functions block the
// calling thread while `sc` runs and nothing serialises them: two installs at once race.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/run_command.h"
#include "engine/driver_setup/driver_setup_export.h"

namespace tovix {

inline constexpr const char* DRIVER_SERVICE_NAME = "WinDivert";
inline constexpr const char* DRIVER_DISPLAY_NAME = "WinDivert Packet Driver";

// Where the driver files are looked for (see _get_driver_dir) and the files in it.
DRIVER_SETUP_EXPORT extern const std::filesystem::path DRIVER_DIR;
DRIVER_SETUP_EXPORT extern const std::filesystem::path SYS_X64;
DRIVER_SETUP_EXPORT extern const std::filesystem::path SYS_X86;
DRIVER_SETUP_EXPORT extern const std::filesystem::path DLL_X64;

// Packaged build: the "driver" folder beside the executable. Otherwise (run from a build tree)
// "<folder of this library>/../driver".
DRIVER_SETUP_EXPORT std::filesystem::path _get_driver_dir();

// (success, message for the user)
using DriverResult = std::pair<bool, std::string>;

// How long each `sc` run may take before it is killed.
struct ScTimeouts {
  std::chrono::milliseconds query{5000};
  std::chrono::milliseconds stop_install{5000};
  std::chrono::milliseconds config{5000};
  std::chrono::milliseconds start_repair{10000};
  std::chrono::milliseconds delete_install{10000};
  std::chrono::milliseconds create{10000};
  std::chrono::milliseconds start_new{15000};
  std::chrono::milliseconds stop_uninstall{10000};
  std::chrono::milliseconds delete_uninstall{10000};
};

// What the functions below depend on. A default-constructed context is the real one: run_command,
// is_admin, DRIVER_DIR, the executable's folder as copy target in a packaged build only, and the
// time-outs above. Tests replace parts of it.
struct DRIVER_SETUP_EXPORT DriverSetupContext {
  DriverSetupContext();

  CommandRunner run;
  std::function<bool()> admin_check;
  std::filesystem::path driver_dir;
  // Set: before the service is touched, the driver and library are copied into this folder and
  // the service points at the copy. Unset: the service points into driver_dir.
  std::optional<std::filesystem::path> packaged_exe_dir;
  ScTimeouts timeouts;
};

// Running `sc` failed (it could not be started, or it ran past its time-out) while install_driver
// was stopping or repairing an existing service. install_driver lets exactly this escape; the
// caller shows what() to the user.
class DRIVER_SETUP_EXPORT DriverCommandError : public std::runtime_error {
 public:
  DriverCommandError(std::vector<std::string> argv, const std::string& reason, bool timed_out);
  const std::vector<std::string>& argv() const { return _argv; }
  bool timed_out() const { return _timed_out; }

 private:
  std::vector<std::string> _argv;
  bool _timed_out;
};

// True when the process runs with administrator rights; false when that cannot be told.
DRIVER_SETUP_EXPORT bool is_admin();

// The driver file matching this program's pointer width.
DRIVER_SETUP_EXPORT std::filesystem::path get_sys_path();
DRIVER_SETUP_EXPORT std::filesystem::path get_sys_path(const std::filesystem::path& driver_dir);

// (driver file exists, user-mode library exists)
DRIVER_SETUP_EXPORT std::pair<bool, bool> check_driver_files();
DRIVER_SETUP_EXPORT std::pair<bool, bool> check_driver_files(const DriverSetupContext& context);

// Whether the service exists / exists and runs; false on any failure.
DRIVER_SETUP_EXPORT bool is_driver_installed();
DRIVER_SETUP_EXPORT bool is_driver_installed(const DriverSetupContext& context);
DRIVER_SETUP_EXPORT bool is_driver_running();
DRIVER_SETUP_EXPORT bool is_driver_running(const DriverSetupContext& context);

// Installs or repairs the service and starts it. Every outcome is a result pair, except that
// DriverCommandError escapes when stopping or repairing an existing service cannot run `sc`.
DRIVER_SETUP_EXPORT DriverResult install_driver();
DRIVER_SETUP_EXPORT DriverResult install_driver(const DriverSetupContext& context);

// Stops and deletes the service. Never throws.
DRIVER_SETUP_EXPORT DriverResult uninstall_driver();
DRIVER_SETUP_EXPORT DriverResult uninstall_driver(const DriverSetupContext& context);

}  // namespace tovix
