// File access of the archivers (POSIX backend): a folder written by relative names
// through descriptors opened with O_NOFOLLOW, and regular files read without following
// a link.
//
// This folder is the only place that may include OS headers. Nothing here logs:
// failures come back as errno values and are recorded as the thread's last error.
#include "platform/archive_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace qma::platform {

namespace {

int fail(int error) {
  set_last_error(error);
  return error;
}

/// The components of a relative name, or an empty list when one is "", "." or "..".
std::vector<std::string> components_of(std::string_view relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    std::string_view part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return {};
    parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

/// Opens folder `name` inside the folder `at` without following a link.
int open_folder_at(int at, const std::string& name) {
  return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/// Walks the first `count` components from `root`; returns a descriptor of the
/// folder reached (a duplicate of root for 0 components), or -1 with errno set.
int walk(int root, const std::vector<std::string>& parts, size_t count) {
  int current = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  for (size_t i = 0; i < count && current >= 0; ++i) {
    int next = open_folder_at(current, parts[i]);
    int error = errno;
    ::close(current);
    errno = error;
    current = next;
  }
  return current;
}

/// A name for a temporary entry beside the final one; unique within this process
/// and, with the process id, among processes.
std::string temp_name_for(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return "." + name.substr(0, 64) + ".part-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1));
}

/// Puts temp in place of name in one folder; a folder of that name is never replaced.
int replace_entry(int folder, const std::string& temp, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    return EISDIR;
  }
  if (::renameat(folder, temp.c_str(), folder, name.c_str()) != 0) return errno;
  return 0;
}

}  // namespace

NewFile::NewFile(int folder, std::string temp_name, std::string name, int handle)
    : folder_(folder), temp_name_(std::move(temp_name)), name_(std::move(name)), handle_(handle) {}

NewFile::NewFile(NewFile&& other) noexcept
    : folder_(std::exchange(other.folder_, -1)),
      temp_name_(std::move(other.temp_name_)),
      name_(std::move(other.name_)),
      handle_(std::exchange(other.handle_, -1)) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    discard();
    folder_ = std::exchange(other.folder_, -1);
    temp_name_ = std::move(other.temp_name_);
    name_ = std::move(other.name_);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

NewFile::~NewFile() {
  discard();
}

void NewFile::discard() {
  if (handle_ >= 0) {
    ::close(handle_);
    ::unlinkat(folder_, temp_name_.c_str(), 0);
  }
  if (folder_ >= 0) ::close(folder_);
  handle_ = -1;
  folder_ = -1;
}

Status NewFile::write(const void* data, size_t size) {
  if (handle_ < 0) return Status::failure(fail(EBADF));
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(handle_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::failure(fail(errno));
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return Status::success();
}

Status NewFile::commit() {
  if (handle_ < 0) return Status::failure(fail(EBADF));
  int error = ::fsync(handle_) == 0 ? 0 : errno;
  if (::close(handle_) != 0 && error == 0) error = errno;
  handle_ = -1;
  if (error == 0) error = replace_entry(folder_, temp_name_, name_);
  if (error != 0) {
    ::unlinkat(folder_, temp_name_.c_str(), 0);
    return Status::failure(fail(error));
  }
  ::fsync(folder_);
  return Status::success();
}

ConfinedFolder::ConfinedFolder(ConfinedFolder&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

ConfinedFolder& ConfinedFolder::operator=(ConfinedFolder&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(handle_);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

ConfinedFolder::~ConfinedFolder() {
  if (handle_ >= 0) ::close(handle_);
}

Result<ConfinedFolder> ConfinedFolder::open(std::string_view path) {
  int fd = ::open(std::string(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Result<ConfinedFolder>::failure(fail(errno));
  return ConfinedFolder(fd);
}

EntryKind ConfinedFolder::kind(std::string_view relative) const {
  auto parts = components_of(relative);
  if (parts.empty()) return EntryKind::kNone;
  int folder = walk(handle_, parts, parts.size() - 1);
  if (folder < 0) return EntryKind::kNone;
  struct stat st {};
  int rc = ::fstatat(folder, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW);
  ::close(folder);
  if (rc != 0) return EntryKind::kNone;
  if (S_ISLNK(st.st_mode)) return EntryKind::kLink;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

Status ConfinedFolder::make_folders(std::string_view relative) {
  auto parts = components_of(relative);
  if (parts.empty()) return Status::failure(fail(EINVAL));
  int current = ::fcntl(handle_, F_DUPFD_CLOEXEC, 0);
  if (current < 0) return Status::failure(fail(errno));
  for (const std::string& part : parts) {
    if (::mkdirat(current, part.c_str(), 0755) != 0 && errno != EEXIST) {
      int error = errno;
      ::close(current);
      return Status::failure(fail(error));
    }
    // An existing link or file of that name is refused here (ELOOP or ENOTDIR).
    int next = open_folder_at(current, part);
    int error = errno;
    ::close(current);
    if (next < 0) return Status::failure(fail(error));
    current = next;
  }
  ::close(current);
  return Status::success();
}

Result<NewFile> ConfinedFolder::create_file(std::string_view relative, uint32_t mode) {
  auto parts = components_of(relative);
  if (parts.empty()) return Result<NewFile>::failure(fail(EINVAL));
  int folder = walk(handle_, parts, parts.size() - 1);
  if (folder < 0) return Result<NewFile>::failure(fail(errno));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = temp_name_for(parts.back());
    int fd =
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      int error = errno;
      ::close(folder);
      return Result<NewFile>::failure(fail(error));
    }
    // The permission bits are set on the descriptor, so no umask narrows them.
    if (::fchmod(fd, static_cast<mode_t>(mode & 0777)) != 0) {
      int error = errno;
      ::close(fd);
      ::unlinkat(folder, temp.c_str(), 0);
      ::close(folder);
      return Result<NewFile>::failure(fail(error));
    }
    return NewFile(folder, std::move(temp), parts.back(), fd);
  }
  ::close(folder);
  return Result<NewFile>::failure(fail(EEXIST));
}

Status ConfinedFolder::make_link(std::string_view relative, std::string_view target) {
  auto parts = components_of(relative);
  if (parts.empty()) return Status::failure(fail(EINVAL));
  int folder = walk(handle_, parts, parts.size() - 1);
  if (folder < 0) return Status::failure(fail(errno));
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    std::string temp = temp_name_for(parts.back());
    if (::symlinkat(std::string(target).c_str(), folder, temp.c_str()) != 0) {
      error = errno;
      continue;
    }
    error = replace_entry(folder, temp, parts.back());
    if (error != 0) ::unlinkat(folder, temp.c_str(), 0);
    if (error == EEXIST) error = EIO;  // never retry a failed replacement
  }
  ::close(folder);
  if (error != 0) return Status::failure(fail(error));
  return Status::success();
}

Result<uint64_t> ConfinedFolder::free_bytes() const {
  struct statvfs vfs {};
  if (::fstatvfs(handle_, &vfs) != 0) return Result<uint64_t>::failure(fail(errno));
  return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

Result<RegularFile> open_regular_file(std::string_view path, LastLink last_link) {
  // Non-blocking, so that a FIFO given by name never hangs the reader.
  int open_flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  if (last_link == LastLink::kRefuse) open_flags |= O_NOFOLLOW;
  int fd = ::open(std::string(path).c_str(), open_flags);
  if (fd < 0) return Result<RegularFile>::failure(fail(errno));
  struct stat st {};
  int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (error != 0) {
    ::close(fd);
    return Result<RegularFile>::failure(fail(error));
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    error = errno;
    ::close(fd);
    return Result<RegularFile>::failure(fail(error));
  }
  RegularFile out;
  out.file.reset(file);
  out.size = static_cast<uint64_t>(st.st_size);
  out.mode = static_cast<uint32_t>(st.st_mode & 07777);
  out.modified = static_cast<int64_t>(st.st_mtime);
  return out;
}

}  // namespace qma::platform
