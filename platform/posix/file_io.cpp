// Whole-file reads, atomic file replacement and cross-process file locks (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs:
// failures come back as errno values and are recorded as the thread's last error.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"

namespace qma::platform {

namespace {

int fail(int error) {
  set_last_error(error);
  return error;
}

/// Writes all bytes, riding over short writes and signals; `written` counts the
/// bytes that reached the file, also when a write fails.
bool write_all(int fd, std::string_view content, size_t* written = nullptr) {
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
    if (written != nullptr) *written += static_cast<size_t>(n);
  }
  return true;
}

std::string parent_folder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Result<std::string> read_file(std::string_view path) {
  int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Result<std::string>::failure(fail(errno));
  std::string content;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      return Result<std::string>::failure(fail(error));
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

Result<std::string> read_regular_file(std::string_view path, size_t max_size) {
  const std::string resolved = resolve_path(path);
  // A first look keeps devices and FIFOs from being opened at all; the open and fstat below
  // decide, since the path may be replaced in between.
  struct stat seen {};
  if (::lstat(resolved.c_str(), &seen) != 0) return Result<std::string>::failure(fail(errno));
  if (S_ISLNK(seen.st_mode)) return Result<std::string>::failure(fail(ELOOP));
  if (!S_ISREG(seen.st_mode)) return Result<std::string>::failure(fail(EPERM));
  int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return Result<std::string>::failure(fail(errno));
  int error = 0;
  if (::fstat(fd, &seen) != 0) {
    error = errno;
  } else if (!S_ISREG(seen.st_mode)) {
    error = EPERM;
  } else if (static_cast<unsigned long long>(seen.st_size) > max_size) {
    error = EFBIG;
  }
  std::string content;
  if (error == 0) {
    content.resize(static_cast<size_t>(seen.st_size));
    size_t got = 0;
    // One byte past the bound is asked for, so a file that grows while read shows.
    for (;;) {
      if (got == content.size()) {
        if (content.size() > max_size) {
          error = EFBIG;
          break;
        }
        content.resize(std::min(max_size + 1, content.size() + 16384));
      }
      ssize_t n = ::read(fd, content.data() + got, content.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (got > max_size) error = EFBIG;
    content.resize(got);
  }
  ::close(fd);
  if (error != 0) return Result<std::string>::failure(fail(error));
  return content;
}

Status write_regular_file(std::string_view path, std::string_view content, bool* opened) {
  if (opened != nullptr) *opened = false;
  const std::string target(path);
  // Without O_NONBLOCK the open of a FIFO would wait for a reader; with it, a FIFO without
  // one fails with ENXIO and one with a reader is refused below.
  int fd = ::open(target.c_str(),
                  O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return Status::failure(fail(errno == ENXIO ? EPERM : errno));
  struct stat seen {};
  int error = 0;
  if (::fstat(fd, &seen) != 0) {
    error = errno;
  } else if (!S_ISREG(seen.st_mode)) {
    error = EPERM;
  } else {
    if (opened != nullptr) *opened = true;
    if (::ftruncate(fd, 0) != 0 || !write_all(fd, content)) error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) return Status::failure(fail(error));
  return Status::success();
}

Status write_file_atomic(std::string_view path, std::string_view content) {
  const std::string target(path);
  std::string temp = target + ".tmpXXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return Status::failure(fail(errno));

  // The replacement keeps the permissions of the file it replaces; a new file
  // gets the usual 0644.
  struct stat old_stat {};
  mode_t mode = (::stat(target.c_str(), &old_stat) == 0) ? (old_stat.st_mode & 07777) : 0644;

  int error = 0;
  if (::fchmod(fd, mode) != 0 || !write_all(fd, content) || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return Status::failure(fail(error));
  }

  // The rename itself reaches the disk only when the folder is flushed.
  int dir = ::open(parent_folder(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status::success();
}

AppendFile::~AppendFile() {
  close();
}

void AppendFile::close() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
  path_.clear();
}

Status AppendFile::append_whole(std::string_view path, std::string_view data) {
  const bool same_path = handle_ >= 0 && path_ == path;
  const uint64_t now = check_interval_ms_ > 0 ? monotonic_ms() : 0;
  const bool look = !same_path || check_interval_ms_ == 0 || checked_at_ms_ == 0 ||
                    now - checked_at_ms_ >= check_interval_ms_;
  if (look) {
    std::string name(path);
    struct stat seen {};
    const bool current = same_path && ::stat(name.c_str(), &seen) == 0 &&
                         static_cast<unsigned long long>(seen.st_dev) == device_ &&
                         static_cast<unsigned long long>(seen.st_ino) == inode_;
    if (!current) {
      close();
      int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) return Status::failure(fail(errno));
      if (::fstat(fd, &seen) != 0) {
        const int error = errno;
        ::close(fd);
        return Status::failure(fail(error));
      }
      handle_ = fd;
      path_ = std::move(name);
      device_ = static_cast<unsigned long long>(seen.st_dev);
      inode_ = static_cast<unsigned long long>(seen.st_ino);
    }
    checked_at_ms_ = now;
  }
  size_t written = 0;
  if (!write_all(handle_, data, &written)) {
    const int error = errno;
    // Only this append's own bytes are cut off: the file's end now, less what
    // reached it from this line.
    struct stat after {};
    if (written > 0 && ::fstat(handle_, &after) == 0 &&
        static_cast<unsigned long long>(after.st_size) >= written) {
      while (::ftruncate(handle_, after.st_size - static_cast<off_t>(written)) != 0 &&
             errno == EINTR) {
      }
    }
    // A descriptor that failed once is opened afresh, so a file system that
    // recovers is seen through a new open as well.
    close();
    return Status::failure(fail(error));
  }
  return Status::success();
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(handle_);
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  // Closing the descriptor releases the lock.
  if (handle_ >= 0) ::close(handle_);
}

Result<FileLock> FileLock::acquire(std::string_view path) {
  int fd = ::open(std::string(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Result<FileLock>::failure(fail(errno));
  // flock locks belong to the open file description, so two threads of one
  // process that each acquire the lock exclude each other too.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    ::close(fd);
    return Result<FileLock>::failure(fail(error));
  }
  return FileLock(fd);
}

}  // namespace qma::platform
