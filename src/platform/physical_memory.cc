#include "platform/physical_memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace dembase::platform {
namespace {

constexpr uint64_t kAbsurdLimit = uint64_t{1} << 62;

// Reads up to 64 KiB of a small text file (proc and sysfs files report no size).
std::optional<std::string> ReadSmallFile(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() >= 65536) break;
  }
  (void)close(fd);
  return text;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool ListsMemoryController(std::string_view controllers) {
  while (!controllers.empty()) {
    const size_t comma = controllers.find(',');
    if (controllers.substr(0, comma) == "memory") return true;
    if (comma == std::string_view::npos) break;
    controllers.remove_prefix(comma + 1);
  }
  return false;
}

// root + path/file for path and each of its ancestors up to root itself.
void AddWithAncestors(std::string_view root, std::string_view path, std::string_view file,
                      std::vector<std::string>* out) {
  if (path.empty() || path.front() != '/') return;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::string p(root);
    if (path != "/") p.append(path);
    p.append("/").append(file);
    out->push_back(std::move(p));
    if (path == "/") break;
    const size_t slash = path.rfind('/');
    path = slash == 0 ? std::string_view("/") : path.substr(0, slash);
  }
}

}  // namespace

std::optional<uint64_t> ParseCgroupMemoryLimit(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0 || value >= kAbsurdLimit) return std::nullopt;
  return value;
}

std::vector<std::string> CgroupMemoryLimitFiles(std::string_view proc_self_cgroup) {
  std::vector<std::string> files;
  std::string_view rest = proc_self_cgroup;
  while (!rest.empty()) {
    const size_t eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    // hierarchy-id:controller-list:path
    const size_t c1 = line.find(':');
    if (c1 == std::string_view::npos) continue;
    const size_t c2 = line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, c1);
    const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
    const std::string_view path = line.substr(c2 + 1);
    if (id == "0" && controllers.empty()) {
      AddWithAncestors("/sys/fs/cgroup", path, "memory.max", &files);
    } else if (ListsMemoryController(controllers)) {
      AddWithAncestors("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes", &files);
    }
  }
  return files;
}

uint64_t SystemPhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  uint64_t total = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
  const std::optional<std::string> cgroups = ReadSmallFile("/proc/self/cgroup");
  if (!cgroups) return total;
  for (const std::string& file : CgroupMemoryLimitFiles(*cgroups)) {
    const std::optional<std::string> text = ReadSmallFile(file);
    if (!text) continue;
    if (const std::optional<uint64_t> limit = ParseCgroupMemoryLimit(*text)) total = std::min(total, *limit);
  }
  // The same limit for one process, without a cgroup of its own.
  if (const char* own = std::getenv("DEMBASE_MEMORY_LIMIT"); own != nullptr) {
    if (const std::optional<uint64_t> limit = ParseCgroupMemoryLimit(own)) total = std::min(total, *limit);
  }
  return total;
}

}  // namespace dembase::platform
