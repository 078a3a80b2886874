#pragma once
// Linux only: where the connection table is read from. sock_diag is the default; the text
// tables of /proc/net remain for kernels without it (and as the benchmark's baseline).
#include <memory>

#include "engine/process/process_queries.h"

namespace tovix {

enum class LinuxSocketTable { sock_diag, proc_net_tcp };

PROC_WATCH_EXPORT std::shared_ptr<ProcessQueries> make_linux_process_queries(LinuxSocketTable table);

}  // namespace tovix
