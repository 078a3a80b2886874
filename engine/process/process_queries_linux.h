#pragma once
// Linux only: where the connection table is read from. sock_diag is the default; the text
// tables of /proc/net remain for kernels without it (and as the benchmark's baseline).
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/process/process_queries.h"

namespace tovix {

enum class LinuxSocketTable { sock_diag, proc_net_tcp };

PROC_WATCH_EXPORT std::shared_ptr<ProcessQueries> make_linux_process_queries(LinuxSocketTable table);

// The start time (clock ticks after boot) from the text of /proc/<pid>/stat; absent for a
// process that has ended (a zombie) and for text that does not parse.
PROC_WATCH_EXPORT std::optional<std::uint64_t> parse_process_start_time(std::string_view stat);

}  // namespace tovix
