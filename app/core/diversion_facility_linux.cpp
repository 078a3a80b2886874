#include <sys/utsname.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/core/diversion_facility.h"
#include "engine/driver_setup/driver_setup.h"

namespace tovix::app {
namespace {

namespace fs = std::filesystem;

bool file_lists_module(const fs::path& file, const std::string& name) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

// Loaded, built in, or present as a module the kernel loads on the first queue rule.
std::string nfqueue_state() {
  std::error_code error;
  if (fs::exists("/proc/net/netfilter/nfnetlink_queue", error) || fs::exists("/sys/module/nfnetlink_queue", error)) {
    return "已加载";
  }
  utsname system{};
  if (uname(&system) == 0) {
    const fs::path modules = fs::path("/lib/modules") / system.release;
    if (file_lists_module(modules / "modules.builtin", "nfnetlink_queue")) return "内核内置";
    if (file_lists_module(modules / "modules.dep", "nfnetlink_queue")) return "可按需加载";
  }
  return {};
}

std::string program_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  dirs += ":/usr/sbin:/sbin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(':', start);
    const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
    std::error_code error;
    if (!candidate.parent_path().empty() && fs::is_regular_file(candidate, error)) return candidate.string();
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

}  // namespace

DiversionFacility check_diversion_facility() {
  DiversionFacility facility;
  facility.driver_managed = false;
  facility.summary = "Linux 后端无需安装驱动: 需要 root 权限、内核 NFQUEUE 支持和 iptables";
  const bool root = is_admin();
  facility.checks.push_back({"root 权限", root, root ? "是" : "否，请以 root 身份运行"});
  const std::string nfqueue = nfqueue_state();
  facility.checks.push_back({"内核 NFQUEUE", !nfqueue.empty(), nfqueue.empty() ? "未找到 nfnetlink_queue" : nfqueue});
  const std::string iptables = program_on_path("iptables");
  facility.checks.push_back({"iptables", !iptables.empty(), iptables.empty() ? "未安装" : iptables});
  return facility;
}

}  // namespace tovix::app
