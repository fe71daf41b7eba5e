// Memory the system can still give this process, asked before a load or a capture commits memory.
#include "kvmemory.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t NO_LIMIT = UINT64_MAX;
constexpr uint64_t KIB = 1024;
/// The small files read here are far below this.
constexpr size_t MAX_FILE_TEXT = 64 * 1024;

std::atomic<utils::TmemorySource> memorySource{nullptr};

/// The whole text of a small file of /proc or /sys; empty when it cannot be read.
std::string readText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "re")) {
    char buf[4096];
    size_t n = 0;
    while (text.size() < MAX_FILE_TEXT && (n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

/// The number after "key" at the start of a line of text ("MemAvailable:", "inactive_file ");
/// false when there is none.
bool findValue(const std::string& text, const char* key, uint64_t& value) {
  const size_t keyLen = std::strlen(key);
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    if (text.compare(pos, keyLen, key) == 0) {
      const char* p = text.c_str() + pos + keyLen;
      char* stop = nullptr;
      const unsigned long long v = std::strtoull(p, &stop, 10);
      if (stop == p) return false;
      value = v;
      return true;
    }
    pos = end + 1;
  }
  return false;
}

/// A file that holds one number ("max" and "unlimited" read as no limit); false when it cannot
/// be read.
bool readNumber(const std::string& path, uint64_t& value) {
  const std::string text = readText(path);
  if (text.rfind("max", 0) == 0) {
    value = NO_LIMIT;
    return true;
  }
  return findValue(text, "", value);
}

uint64_t roomBelow(uint64_t limit, uint64_t used) { return limit > used ? limit - used : 0; }

/// The room below the RLIMIT_AS or RLIMIT_DATA limit, whose use /proc/self/status gives as
/// VmSize or VmData.
uint64_t limitRoom(int resource, const std::string& status, const char* usedKey) {
  rlimit rl{};
  if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return NO_LIMIT;
  uint64_t usedKb = 0;
  if (!findValue(status, usedKey, usedKb)) return NO_LIMIT;
  return roomBelow(rl.rlim_cur, usedKb * KIB);
}

/// The files of one cgroup version: ceiling, use, and the statistic of page cache that the
/// kernel reclaims before it kills.
struct TcgroupFiles {
  const char* limit;
  const char* usage;
  const char* reclaimable;
};
constexpr TcgroupFiles CGROUP_V2{"memory.max", "memory.current", "inactive_file "};
constexpr TcgroupFiles CGROUP_V1{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file "};

/// The least room of the group at dir and every group above it up to top.
uint64_t groupChainRoom(std::string dir, const std::string& top, const TcgroupFiles& files) {
  uint64_t room = NO_LIMIT;
  for (;;) {
    uint64_t limit = 0, usage = 0, reclaimable = 0;
    if (readNumber(dir + "/" + files.limit, limit) && limit != NO_LIMIT &&
        readNumber(dir + "/" + files.usage, usage)) {
      findValue(readText(dir + "/memory.stat"), files.reclaimable, reclaimable);
      room = std::min(room, roomBelow(limit, usage > reclaimable ? usage - reclaimable : 0));
    }
    if (dir.size() <= top.size()) break;
    dir.erase(std::max(dir.rfind('/'), top.size()));
  }
  return room;
}

uint64_t systemRoom() {
  uint64_t room = NO_LIMIT;
  uint64_t availableKb = 0;
  if (findValue(readText("/proc/meminfo"), "MemAvailable:", availableKb)) room = availableKb * KIB;
  const std::string status = readText("/proc/self/status");
  room = std::min(room, limitRoom(RLIMIT_AS, status, "VmSize:"));
  room = std::min(room, limitRoom(RLIMIT_DATA, status, "VmData:"));
  return std::min(room, utils::cgroupRoom(readText("/proc/self/cgroup"), "/sys/fs/cgroup"));
}

/// Free memory inside the heap, which the process reuses without asking the system.
uint64_t heapFree() { return mallinfo2().fordblks; }

uint64_t plus(uint64_t a, uint64_t b) { return a > NO_LIMIT - b ? NO_LIMIT : a + b; }

}  // namespace

namespace utils {

uint64_t cgroupRoom(const std::string& cgroupText, const std::string& root) {
  uint64_t room = NO_LIMIT;
  // Lines "<id>:<controllers>:<path>"; v2's is "0::<path>".
  for (size_t pos = 0; pos < cgroupText.size();) {
    const size_t end = std::min(cgroupText.find('\n', pos), cgroupText.size());
    const std::string line = cgroupText.substr(pos, end - pos);
    pos = end + 1;
    const size_t c1 = line.find(':');
    const size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    const std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
    std::string path = line.substr(c2 + 1);
    if (path.empty() || path[0] != '/' || path.find("/..") != std::string::npos) continue;
    if (path == "/") path.clear();
    if (line.compare(0, c1 + 1, "0:") == 0 && controllers.empty()) {
      room = std::min(room, groupChainRoom(root + path, root, CGROUP_V2));
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      room = std::min(room, groupChainRoom(root + "/memory" + path, root + "/memory", CGROUP_V1));
    }
  }
  return room;
}

uint64_t memoryAvailable() {
  if (const TmemorySource source = memorySource.load(std::memory_order_acquire)) return source();
  return plus(systemRoom(), heapFree());
}

bool memoryFits(uint64_t bytes) {
  const uint64_t need = plus(bytes, MEMORY_HEADROOM);
  if (const TmemorySource source = memorySource.load(std::memory_order_acquire)) return source() >= need;
  const uint64_t room = systemRoom();
  return room >= need || plus(room, heapFree()) >= need;
}

void setMemorySource(TmemorySource source) { memorySource.store(source, std::memory_order_release); }

}  // namespace utils
