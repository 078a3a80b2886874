#include "app/core/diversion_facility.h"
#include "common/windows_text.h"
#include "engine/driver_setup/driver_setup.h"

namespace tovix::app {

DiversionFacility check_diversion_facility() {
  DiversionFacility facility;
  facility.driver_managed = true;
  facility.summary = "WinDivert 驱动: 文件放在 " + utf8_from_wide(DRIVER_DIR.wstring()) + "，安装与运行需要管理员权限";
  const auto [sys_present, dll_present] = check_driver_files();
  facility.checks.push_back(
      {"驱动文件", sys_present && dll_present,
       std::string(sys_present ? "驱动文件存在" : "驱动文件缺失") + "，" + (dll_present ? "DLL 存在" : "DLL 缺失")});
  const bool installed = is_driver_installed();
  facility.checks.push_back({"驱动服务", installed, installed ? "已安装" : "未安装"});
  const bool running = installed && is_driver_running();
  facility.checks.push_back({"驱动运行", running, running ? "运行中" : "未运行"});
  const bool admin = is_admin();
  facility.checks.push_back({"管理员权限", admin, admin ? "是" : "否，请以管理员身份运行"});
  return facility;
}

}  // namespace tovix::app
