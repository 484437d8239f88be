// Total physical memory, lowered to the memory limit of the process's cgroup (v2 and v1),
// so a tile cache sized from it fits the container it runs in. Internal to platform/.
#ifndef DEMBASE_PLATFORM_PHYSICAL_MEMORY_H_
#define DEMBASE_PLATFORM_PHYSICAL_MEMORY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dembase::platform {

// The contents of a memory.max or memory.limit_in_bytes file as a byte count; nullopt
// for "max", for garbage and for absurd figures (0, or 2^62 and above: v1's "no limit").
std::optional<uint64_t> ParseCgroupMemoryLimit(std::string_view text);

// The limit files that bound a process, given the text of /proc/self/cgroup: its own
// cgroup and every ancestor (a parent's limit binds its children), for v2 and for a v1
// memory hierarchy, under the usual /sys/fs/cgroup mounts.
std::vector<std::string> CgroupMemoryLimitFiles(std::string_view proc_self_cgroup);

// Total physical memory in bytes, lowered to the smallest cgroup limit found and to
// DEMBASE_MEMORY_LIMIT (bytes) when that is set; 0 only when the system cannot tell.
uint64_t SystemPhysicalMemory();

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_PHYSICAL_MEMORY_H_
