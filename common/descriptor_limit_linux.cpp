#include <sys/resource.h>

#include <fstream>
#include <mutex>

#include "common/descriptor_limit.h"

namespace tovix {
namespace {

// The kernel's ceiling for RLIMIT_NOFILE; an "unlimited" hard limit cannot be used as a soft one.
rlim_t kernel_ceiling() {
  std::ifstream file("/proc/sys/fs/nr_open");
  unsigned long long value = 0;
  if (file >> value && value > 0) return static_cast<rlim_t>(value);
  return 1 << 20;
}

}  // namespace

std::uint64_t raise_descriptor_limit() noexcept {
  static std::mutex lock;
  std::lock_guard guard(lock);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit wanted = limit;
    wanted.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kernel_ceiling() : limit.rlim_max;
    if (wanted.rlim_cur > limit.rlim_cur && setrlimit(RLIMIT_NOFILE, &wanted) == 0) limit = wanted;
  }
  return limit.rlim_cur == RLIM_INFINITY ? kernel_ceiling() : static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace tovix
