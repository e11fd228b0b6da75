#include "src/pool/cpu_count.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

namespace velk::pool {
namespace {

namespace fs = std::filesystem;
using Files = std::vector<std::pair<std::string, std::string>>;  // path under root, contents

// A throw-away file-system root holding only the files a case lists.
class FakeRoot {
 public:
  explicit FakeRoot(const Files& files) {
    std::string pattern = (fs::temp_directory_path() / "velk-cpus-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    for (const auto& [path, contents] : files) {
      fs::path full = fs::path(root_) / path;
      fs::create_directories(full.parent_path());
      // A trailing slash names a directory that holds no file of interest.
      if (path.back() == '/') continue;
      std::ofstream(full, std::ios::binary) << contents;
    }
  }
  ~FakeRoot() { fs::remove_all(root_); }
  const std::string& path() const { return root_; }

 private:
  std::string root_;
};

struct QuotaCase {
  const char* name;
  Files files;
  uint64_t expected;
};

class CgroupQuotaTest : public testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuotaTest, ReadsQuotaFromFakeTree) {
  FakeRoot root(GetParam().files);
  EXPECT_EQ(cgroup_cpu_quota(root.path()), GetParam().expected);
}

const char kV2Group[] = "0::/app.slice/job\n";
const char kV2Dir[] = "sys/fs/cgroup/app.slice/job/";
const char kV1Group[] = "4:cpu,cpuacct:/app/job\n";

Files v2(const char* cpu_max) {
  return {{"proc/self/cgroup", kV2Group},
          {std::string(kV2Dir) + "cgroup.controllers", "cpu memory\n"},
          {std::string(kV2Dir) + "cpu.max", cpu_max}};
}

Files v1(const char* mount, const char* quota, const char* period) {
  std::string dir = std::string("sys/fs/cgroup/") + mount + "/app/job/";
  return {{"proc/self/cgroup", kV1Group},
          {dir + "cpu.cfs_quota_us", quota},
          {dir + "cpu.cfs_period_us", period}};
}

// Files are written in order, so a later entry replaces an earlier one of the
// same path (used to swap in another /proc/self/cgroup).
Files with(Files files, const Files& more) {
  files.insert(files.end(), more.begin(), more.end());
  return files;
}

INSTANTIATE_TEST_SUITE_P(
    Version2, CgroupQuotaTest,
    testing::Values(
        QuotaCase{"RoundsDown", v2("150000 100000\n"), 1},
        QuotaCase{"MaxIsNoLimit", v2("max 100000\n"), kNoQuota},
        QuotaCase{"BelowOneProcessorIsZero", v2("50000 100000\n"), 0},
        QuotaCase{"ZeroPeriodIgnored", v2("150000 0\n"), kNoQuota},
        QuotaCase{
            "SmallerParentWins",
            with(v2("400000 100000\n"), {{"sys/fs/cgroup/app.slice/cpu.max", "200000 100000\n"}}),
            2},
        QuotaCase{
            "SmallerChildWins",
            with(v2("300000 100000\n"), {{"sys/fs/cgroup/app.slice/cpu.max", "800000 100000\n"}}),
            3},
        QuotaCase{"HierarchyRootCounts",
                  with(v2("max 100000\n"), {{"sys/fs/cgroup/cpu.max", "100000 100000\n"}}), 1},
        QuotaCase{"NothingAboveHierarchyRoot",
                  with(v2("max 100000\n"), {{"sys/fs/cpu.max", "100000 100000\n"}}), kNoQuota},
        QuotaCase{"NoControllersFileNoQuota",
                  Files{{"proc/self/cgroup", kV2Group},
                        {std::string(kV2Dir) + "cpu.max", "100000 100000\n"}},
                  kNoQuota},
        // A group shown as lying above our view of the hierarchy is not read,
        // even where the climbed-to path holds a quota.
        QuotaCase{"GroupOutsideHierarchyIgnored",
                  Files{{"proc/self/cgroup", "0::/../escape\n"},
                        {"sys/fs/cgroup/", ""},
                        {"sys/fs/escape/cgroup.controllers", "cpu\n"},
                        {"sys/fs/escape/cpu.max", "100000 100000\n"}},
                  kNoQuota}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Version1, CgroupQuotaTest,
    testing::Values(
        QuotaCase{"MinusOneIsNoLimit", v1("cpu", "-1\n", "100000\n"), kNoQuota},
        QuotaCase{"WholeProcessors", v1("cpu", "200000\n", "100000\n"), 2},
        QuotaCase{"CombinedMountPoint", v1("cpu,cpuacct", "100000\n", "100000\n"), 1},
        QuotaCase{"SmallerParentWins",
                  with(v1("cpu", "900000\n", "100000\n"),
                       {{"sys/fs/cgroup/cpu/app/cpu.cfs_quota_us", "400000\n"},
                        {"sys/fs/cgroup/cpu/app/cpu.cfs_period_us", "100000\n"}}),
                  4},
        QuotaCase{
            "NothingAboveMountPoint",
            with(v1("cpu", "-1\n", "100000\n"), {{"sys/fs/cgroup/cpu.cfs_quota_us", "100000\n"},
                                                 {"sys/fs/cgroup/cpu.cfs_period_us", "100000\n"}}),
            kNoQuota},
        // Only the first mount point holding the group is consulted.
        QuotaCase{
            "FirstExistingMountOnly",
            with(v1("cpu,cpuacct", "100000\n", "100000\n"), {{"sys/fs/cgroup/cpu/app/job/", ""}}),
            kNoQuota},
        QuotaCase{"MountFromMountInfo",
                  Files{{"proc/self/cgroup", "7:cpu:/outer/inner/job\n"},
                        {"proc/self/mountinfo",
                         "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
                         "30 25 0:26 /other /sys/fs/cgroup/x rw - cgroup cgroup rw,cpu\n"
                         "31 25 0:27 /outer /sys/fs/cgroup/y rw - cgroup cgroup rw,memory\n"
                         "  32 25 0:28 /outer /sys/fs/cgroup/z rw shared:9 - cgroup cgroup "
                         "rw,cpu,cpuacct  \n"
                         "33 25 0:29 / /sys/fs/cgroup/late rw - cgroup cgroup rw,cpu\n"},
                        {"sys/fs/cgroup/z/inner/job/cpu.cfs_quota_us", "500000\n"},
                        {"sys/fs/cgroup/z/inner/job/cpu.cfs_period_us", "100000\n"},
                        {"sys/fs/cgroup/z/inner/cpu.cfs_quota_us", "300000\n"},
                        {"sys/fs/cgroup/z/inner/cpu.cfs_period_us", "100000\n"}},
                  3},
        QuotaCase{"RootPrefixByWholeComponents",
                  Files{{"proc/self/cgroup", "7:cpu:/outerX/job\n"},
                        {"proc/self/mountinfo",
                         "30 25 0:26 /outer /sys/fs/cgroup/z rw - cgroup cgroup rw,cpu\n"},
                        {"sys/fs/cgroup/z/X/job/cpu.cfs_quota_us", "100000\n"},
                        {"sys/fs/cgroup/z/X/job/cpu.cfs_period_us", "100000\n"}},
                  kNoQuota}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GroupChoice, CgroupQuotaTest,
    testing::Values(
        QuotaCase{"NoCgroupFile", Files{}, kNoQuota},
        QuotaCase{"NoMatchingLine",
                  with(v1("cpu", "100000\n", "100000\n"),
                       {{"proc/self/cgroup", "3:cpuset:/app/job\n5:cpuacct:/app/job\n"}}),
                  kNoQuota},
        QuotaCase{"Version1BeatsEarlierVersion2",
                  with(v1("cpu", "200000\n", "100000\n"),
                       {{"proc/self/cgroup", std::string(kV2Group) + kV1Group}}),
                  2},
        QuotaCase{"Version2DoesNotReplaceVersion1",
                  with(v1("cpu", "200000\n", "100000\n"),
                       with(v2("100000 100000\n"),
                            {{"proc/self/cgroup", std::string(kV1Group) + kV2Group}})),
                  2},
        QuotaCase{"LaterVersion1Wins",
                  with(v1("cpu", "200000\n", "100000\n"),
                       {{"proc/self/cgroup", "4:cpu:/elsewhere\n" + std::string(kV1Group)}}),
                  2},
        QuotaCase{"ControllerListNotUtf8Ignored",
                  with(v1("cpu", "200000\n", "100000\n"),
                       {{"proc/self/cgroup", "4:cpu,\xff:/app/job\n"}}),
                  kNoQuota}),
    [](const auto& info) { return std::string(info.param.name); });

uint64_t affinity_count() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  EXPECT_EQ(::sched_getaffinity(0, sizeof mask, &mask), 0);
  return static_cast<uint64_t>(CPU_COUNT(&mask));
}

TEST(AvailableCpuCountTest, QuotaCapsAffinityAndIsRaisedToOne) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"max 100000\n", affinity_count()},
      {"100000 100000\n", 1},
      {"50000 100000\n", 1},
      {"100000000 100000\n", affinity_count()},
  };
  for (auto [cpu_max, expected] : cases) {
    FakeRoot root(v2(cpu_max));
    EXPECT_EQ(available_cpu_count(root.path()), expected) << cpu_max;
  }
  EXPECT_GE(available_cpu_count().value_or(0), 1u);
}

// The affinity mask is per thread; narrow it on a thread of our own.
TEST(AvailableCpuCountTest, FollowsAffinityMask) {
  FakeRoot root({});
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  for (std::size_t keep = 1; keep <= cpus.size() && keep <= 4; ++keep) {
    std::optional<uint64_t> seen;
    std::thread([&] {
      cpu_set_t narrow;
      CPU_ZERO(&narrow);
      for (std::size_t i = 0; i < keep; ++i) CPU_SET(cpus[i], &narrow);
      if (::sched_setaffinity(0, sizeof narrow, &narrow) == 0)
        seen = available_cpu_count(root.path());
    }).join();
    EXPECT_EQ(seen, keep);
  }
}

}  // namespace
}  // namespace velk::pool
