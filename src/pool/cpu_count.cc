#include "src/pool/cpu_count.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace velk::pool {
namespace {

using Components = std::vector<std::string>;

// Where the kernel mounts the cgroup hierarchies, relative to the root.
constexpr std::string_view kCgroupRoot = "sys/fs/cgroup";
// The usual cgroup v1 mount points of the cpu controller, tried in order
// before the mount table is consulted.
constexpr std::string_view kCpuMountPoints[] = {"sys/fs/cgroup/cpu", "sys/fs/cgroup/cpu,cpuacct"};
// The files we read are a few lines; the mount table may be long, but a file
// beyond this is not one the kernel wrote for us.
constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

std::optional<std::string> read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text.size() + static_cast<std::size_t>(got) > kMaxFileBytes) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

bool path_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> items;
  for (;;) {
    std::size_t at = text.find(sep);
    items.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return items;
    text.remove_prefix(at + 1);
  }
}

// At most `limit` fields; the last one keeps any further separators.
std::vector<std::string_view> split_at_most(std::string_view text, char sep, std::size_t limit) {
  std::vector<std::string_view> items;
  while (items.size() + 1 < limit) {
    std::size_t at = text.find(sep);
    if (at == std::string_view::npos) break;
    items.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  items.push_back(text);
  return items;
}

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
  return text;
}

bool has_item(std::string_view list, std::string_view wanted) {
  for (std::string_view item : split(list, ',')) {
    if (item == wanted) return true;
  }
  return false;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    uint32_t value;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      extra = 1, value = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      extra = 2, value = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      extra = 3, value = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      value = (value << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[extra] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// Path components of a relative path; empty and "." components vanish. A
// ".." gives nullopt: a group reached by climbing out of the hierarchy we see
// (as a process in a cgroup namespace may be shown) is not ours to read, and
// following it would read files outside the control-group tree.
std::optional<Components> components_of(std::string_view relative) {
  Components parts;
  for (std::string_view part : split(relative, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    parts.emplace_back(part);
  }
  return parts;
}

std::string join(std::string base, const Components& parts, std::string_view leaf = {}) {
  for (const std::string& part : parts) {
    if (base.empty() || base.back() != '/') base += '/';
    base += part;
  }
  if (!leaf.empty()) {
    if (base.empty() || base.back() != '/') base += '/';
    base += leaf;
  }
  return base;
}

std::string under_root(const std::string& root, std::string_view relative) {
  std::string path = root;
  if (path.empty() || path.back() != '/') path += '/';
  path += relative;
  return path;
}

uint64_t lower_quota(uint64_t quota, std::optional<uint64_t> limit,
                     std::optional<uint64_t> period) {
  if (limit && period && *period > 0) return std::min(quota, *limit / *period);
  return quota;
}

struct GroupChoice {
  bool version1 = false;
  std::optional<std::string_view> path_field;
};

// The entry of /proc/self/cgroup that governs the cpu controller: the last
// v1 line listing "cpu", else the first v2 line.
std::optional<GroupChoice> choose_group(std::string_view table) {
  std::optional<GroupChoice> chosen;
  for (std::string_view line : split(table, '\n')) {
    auto fields = split_at_most(line, ':', 3);
    if (fields.size() < 2) continue;
    std::optional<std::string_view> path;
    if (fields.size() == 3) path = fields[2];
    if (fields[1].empty()) {
      if (!chosen) chosen = GroupChoice{/*version1=*/false, path};
    } else if (is_valid_utf8(fields[1]) && has_item(fields[1], "cpu")) {
      chosen = GroupChoice{/*version1=*/true, path};
    }
  }
  return chosen;
}

// Walks from `group` up to the hierarchy root `base` itself, never above it.
uint64_t v2_quota(const std::string& base, Components group) {
  if (!path_exists(join(base, group, "cgroup.controllers"))) return kNoQuota;
  uint64_t quota = kNoQuota;
  for (;;) {
    if (auto text = read_file(join(base, group, "cpu.max"))) {
      std::string_view first_line = split(*text, '\n').front();
      auto items = split(first_line, ' ');
      if (items.size() >= 2) {
        quota = lower_quota(quota, parse_decimal_u64(items[0]), parse_decimal_u64(items[1]));
      }
    }
    if (group.empty()) return quota;
    group.pop_back();
  }
}

std::optional<uint64_t> read_trimmed_number(const std::string& path) {
  auto text = read_file(path);
  if (!text) return std::nullopt;
  return parse_decimal_u64(trim(*text));
}

// Walks from `group` up to the mount point itself, never above it.
uint64_t v1_quota(const std::string& mount, Components group) {
  uint64_t quota = kNoQuota;
  for (;;) {
    quota = lower_quota(quota, read_trimmed_number(join(mount, group, "cpu.cfs_quota_us")),
                        read_trimmed_number(join(mount, group, "cpu.cfs_period_us")));
    if (group.empty()) return quota;
    group.pop_back();
  }
}

struct MountedGroup {
  std::string mount;  // mount point, under the root
  Components within;  // the group's path below that mount point
};

bool is_component_prefix(const Components& prefix, const Components& path) {
  return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// The cgroup v1 mount of the cpu controller that holds `group`, from the
// mount table. Lines are laid out as
//   id parent major:minor root mount-point options [optional...] - type source super-options
// so the type and the super-block options are counted from the end. A mount
// whose root is not above our group cannot hold it; the scan goes on.

std::optional<MountedGroup> find_cpu_mount(const std::string& root, const Components& group) {
  auto table = read_file(under_root(root, "proc/self/mountinfo"));
  if (!table) return std::nullopt;
  for (std::string_view line : split(*table, '\n')) {
    auto items = split(trim(line), ' ');
    if (items.size() < 5) continue;
    if (items[items.size() - 3] != "cgroup" || !has_item(items.back(), "cpu")) continue;
    std::string_view mount_root = items[3];
    if (!mount_root.empty() && mount_root.front() == '/') mount_root.remove_prefix(1);
    auto root_parts = components_of(mount_root);
    auto mount_parts = components_of(items[4]);
    if (!root_parts || !mount_parts || !is_component_prefix(*root_parts, group)) continue;
    return MountedGroup{join(under_root(root, ""), *mount_parts),
                        Components(group.begin() + root_parts->size(), group.end())};
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> parse_decimal_u64(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint64_t cgroup_cpu_quota(const std::string& root) {
  auto table = read_file(under_root(root, "proc/self/cgroup"));
  if (!table) return kNoQuota;
  auto choice = choose_group(*table);
  if (!choice || !choice->path_field) return kNoQuota;
  std::string_view path = *choice->path_field;
  // The kernel writes the path with a leading slash; the rest is relative.
  if (!path.empty()) path.remove_prefix(1);
  auto group = components_of(path);
  if (!group) return kNoQuota;

  if (!choice->version1) return v2_quota(under_root(root, kCgroupRoot), std::move(*group));

  // Only the first mount point that holds the group is consulted.
  for (std::string_view mount_point : kCpuMountPoints) {
    std::string mount = under_root(root, mount_point);
    if (path_exists(join(mount, *group))) return v1_quota(mount, std::move(*group));
  }
  if (auto found = find_cpu_mount(root, *group)) {
    if (path_exists(join(found->mount, found->within))) {
      return v1_quota(found->mount, std::move(found->within));
    }
  }
  return kNoQuota;
}

std::optional<uint64_t> available_cpu_count(const std::string& root) {
  uint64_t quota = std::max<uint64_t>(cgroup_cpu_quota(root), 1);

  // cpu_set_t is exactly the 128-byte mask (1024 processors) we ask with;
  // larger machines fail here with EINVAL and fall back to the online count.
  static_assert(sizeof(cpu_set_t) == 128);
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (::sched_getaffinity(0, sizeof mask, &mask) == 0) {
    auto allowed = static_cast<uint64_t>(CPU_COUNT(&mask));
    if (allowed != 0) return std::min(allowed, quota);
  }

  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (online <= 0) return std::nullopt;  // -1 carries errno; 0 means "not known"
  return std::min(static_cast<uint64_t>(online), quota);
}

std::optional<uint64_t> available_cpu_count() { return available_cpu_count("/"); }

}  // namespace velk::pool
