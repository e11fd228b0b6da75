// How many processors this process may use: the affinity mask (or the count
// of online processors), capped by the processor quota of its control group.
//
// Read once, when the pool is created; nothing here is on the scoring path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk::pool {

// The unsigned number rule shared by the cgroup files and the environment
// variables: an optional single '+', then one or more ASCII digits and nothing
// else (leading zeros are fine); nullopt for anything else or above 2^64-1.
std::optional<uint64_t> parse_decimal_u64(std::string_view text);

// "No quota": the largest unsigned value, so that min() leaves a count alone.
inline constexpr uint64_t kNoQuota = UINT64_MAX;

// The processor quota of this process's control group (cgroup v1 or v2), in
// whole processors rounded down (0 is possible), or kNoQuota when there is no
// quota or anything on the way cannot be read or parsed. Never fails.
// `root` is the file-system root every path is read under: "/" in production;
// tests point it at a fake tree holding proc/self/cgroup, proc/self/mountinfo
// and sys/fs/cgroup/...
uint64_t cgroup_cpu_quota(const std::string& root = "/");

// Processors this process may use: the set bits of its affinity mask (read
// with sched_getaffinity and a 128-byte mask), else sysconf's count of online
// processors, capped by cgroup_cpu_quota() raised to at least 1. The result is
// at least 1; nullopt when both processor queries fail.
std::optional<uint64_t> available_cpu_count();
// As above with the quota read under `root` (for tests).
std::optional<uint64_t> available_cpu_count(const std::string& root);

}  // namespace velk::pool
