#include "app/core/network_restore.h"

namespace tovix::app {

NetworkRestore restore_network() {
  return {0, "Windows 上无需恢复网络: WinDivert 句柄随程序结束而关闭，被拦截的数据包已放行"};
}

}  // namespace tovix::app
