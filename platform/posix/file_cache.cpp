// Reads of the host's small, seldom changed files through one copy per process (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/error.h"
#include "platform/file.h"

namespace qma::platform {

namespace {

/// What a look at the path tells about the file it names; equal stamps, taken far
/// enough apart from the last change, mean equal content.
struct FileStamp {
  uint64_t device = 0;
  uint64_t number = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

/// A copy is taken only of a file left alone this long, so that a second change within
/// the same time stamp cannot go unseen.
constexpr int64_t kSettledNs = 2'000'000'000;
constexpr size_t kLargestCopy = 64 * 1024;
/// Paths come from the program, not from requests; the bound only keeps a host root that
/// keeps changing (tests) from growing the table without end.
constexpr size_t kMostCopies = 256;

struct Copy {
  FileStamp stamp;
  std::string content;
};

struct Copies {
  std::mutex mutex;
  std::unordered_map<std::string, Copy> by_path;
};

/// Never destroyed: threads may still read host facts while the process ends.
Copies& copies() {
  static auto* table = new Copies;
  return *table;
}

int64_t nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileStamp stamp_of(const struct stat& seen) {
  return FileStamp{static_cast<uint64_t>(seen.st_dev), static_cast<uint64_t>(seen.st_ino),
                   static_cast<int64_t>(seen.st_size), nanoseconds(seen.st_mtim),
                   nanoseconds(seen.st_ctim)};
}

bool settled(const FileStamp& stamp) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t last_change =
      stamp.modified_ns > stamp.changed_ns ? stamp.modified_ns : stamp.changed_ns;
  return nanoseconds(now) - last_change >= kSettledNs;
}

}  // namespace

Result<std::string> read_file_cached(std::string_view path) {
  std::string name(path);
  Copies& table = copies();
  struct stat seen {};
  if (::stat(name.c_str(), &seen) != 0) {
    const int error = errno;
    set_last_error(error);
    std::lock_guard lock(table.mutex);
    table.by_path.erase(name);
    return Result<std::string>::failure(error);
  }
  const FileStamp stamp = stamp_of(seen);
  const bool keep = S_ISREG(seen.st_mode) && settled(stamp);
  if (keep) {
    std::lock_guard lock(table.mutex);
    auto found = table.by_path.find(name);
    if (found != table.by_path.end() && found->second.stamp == stamp) return found->second.content;
  }
  auto content = read_file(name);
  std::lock_guard lock(table.mutex);
  // The stamp was taken before the read: a change while reading gives a new stamp at the
  // next look, and the file is read again then.
  if (content.ok() && keep && content->size() <= kLargestCopy) {
    if (table.by_path.size() >= kMostCopies) table.by_path.clear();
    table.by_path[name] = Copy{stamp, *content};
  } else {
    table.by_path.erase(name);
  }
  return content;
}

}  // namespace qma::platform
