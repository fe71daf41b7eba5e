// Memory the system can still give this process, asked before a load or a capture commits memory.
#pragma once

#include <cstdint>
#include <string>

namespace utils {

/// Memory left free beyond what a load or a capture needs, so that the rest of the program
/// (drawing, the decode script, the libraries) goes on working after it.
inline constexpr uint64_t MEMORY_HEADROOM = uint64_t{64} << 20;

/// Bytes this process can still commit without being refused or killed for it: the least of the
/// system's MemAvailable, the room below the process's address-space and data limits
/// (RLIMIT_AS, RLIMIT_DATA) and the room below the memory ceiling of its control group and of
/// each group above it (reclaimable page cache counted as room); plus what the process's own
/// heap holds free. UINT64_MAX when none of them can be read. Reads a few small files of /proc
/// and /sys; any thread.
uint64_t memoryAvailable();

/// Whether bytes more fit into memoryAvailable() with MEMORY_HEADROOM to spare. The heap's free
/// memory is looked at only when the rest does not suffice (it costs a walk of the heap).
bool memoryFits(uint64_t bytes);

/// Test seam: a function whose result memoryAvailable() and memoryFits() take instead of the
/// system's figures; null restores those. Any thread (the pointer is swapped atomically).
using TmemorySource = uint64_t (*)();
void setMemorySource(TmemorySource source);

/// The room below the memory ceilings of the control groups that a /proc/<pid>/cgroup text
/// names, for the group file systems mounted under root: cgroup v2 ("0::<path>": memory.max
/// less memory.current, plus inactive_file of memory.stat) and v1 (a "memory" hierarchy:
/// memory.limit_in_bytes less memory.usage_in_bytes, plus total_inactive_file), for the group
/// and each one above it up to root. UINT64_MAX where no ceiling is set or none can be read.
uint64_t cgroupRoom(const std::string& cgroupText, const std::string& root);

}  // namespace utils
