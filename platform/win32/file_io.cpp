// Whole-file reads, atomic file replacement and cross-process file locks (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs:
// failures come back as the errno values the portable code compares with and are recorded
// as the thread's last error.
//
// The handles of AppendFile and FileLock are kept in an int: Windows handles are 32-bit
// values that a 64-bit process may truncate and sign-extend again (HandleToLong /
// LongToHandle).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace win32 {
int errno_of(DWORD error);
int record_file_error();
}  // namespace win32

namespace {

using win32::widen;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int fail(int error) {
  set_last_error(error);
  return error;
}

int last_error_errno() {
  return win32::errno_of(::GetLastError());
}

int to_int(HANDLE handle) {
  return static_cast<int>(::HandleToLong(handle));
}

HANDLE to_handle(int handle) {
  return ::LongToHandle(handle);
}

/// Writes all bytes; `written` counts the bytes that reached the file, also when a write
/// fails. 0 or the errno value of the failure.
int write_all(HANDLE file, std::string_view content, size_t* written = nullptr) {
  while (!content.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size(), 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(file, content.data(), chunk, &put, nullptr)) return last_error_errno();
    if (put == 0) return ENOSPC;
    content.remove_prefix(put);
    if (written != nullptr) *written += put;
  }
  return 0;
}

/// Reads up to `limit` bytes (all when npos); 0 or the errno value.
int read_all(HANDLE file, std::string& content, size_t limit = std::string::npos) {
  char buffer[16384];
  while (content.size() < limit) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, limit - content.size()));
    DWORD got = 0;
    if (!::ReadFile(file, buffer, want, &got, nullptr)) return last_error_errno();
    if (got == 0) break;
    content.append(buffer, got);
  }
  return 0;
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

/// 0 when the attributes are those of a regular file, else ELOOP (a link or other reparse
/// point) or EPERM (a folder).
int regular_attributes(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return ELOOP;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EPERM;
  return 0;
}

/// 0 when the open handle is a regular file on a disk.
int regular_handle(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  if (::GetFileType(file) != FILE_TYPE_DISK) return EPERM;
  if (!::GetFileInformationByHandle(file, &info)) return last_error_errno();
  return regular_attributes(info.dwFileAttributes);
}

}  // namespace

Result<std::string> read_file(std::string_view path) {
  const std::wstring wide = widen(path);
  Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    // A folder refuses the open as access denied; it is told apart from a file this user
    // may not read, as on Linux, where its read fails with EISDIR.
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Result<std::string>::failure(fail(EISDIR));
    }
    ::SetLastError(error);
    return Result<std::string>::failure(win32::record_file_error());
  }
  std::string content;
  if (int error = read_all(file.get(), content); error != 0) {
    return Result<std::string>::failure(fail(error));
  }
  return content;
}

Result<std::string> read_file_cached(std::string_view path) {
  // The host facts that Linux reads from files come from system calls here.
  return read_file(path);
}

Result<std::string> read_regular_file(std::string_view path, size_t max_size) {
  const std::wstring wide = widen(path);
  // A first look keeps devices and folders from being opened at all; the checks of the
  // open handle below decide, since the path may be replaced in between.
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Result<std::string>::failure(win32::record_file_error());
  }
  if (int error = regular_attributes(attributes); error != 0) {
    return Result<std::string>::failure(fail(error));
  }
  Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return Result<std::string>::failure(win32::record_file_error());
  BY_HANDLE_FILE_INFORMATION info{};
  int error = regular_handle(file.get(), info);
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (error == 0 && size > max_size) error = EFBIG;
  std::string content;
  if (error == 0) {
    content.reserve(static_cast<size_t>(size));
    // One byte past the bound is asked for, so a file that grows while read shows.
    error = read_all(file.get(), content, max_size + 1);
    if (error == 0 && content.size() > max_size) error = EFBIG;
  }
  if (error != 0) return Result<std::string>::failure(fail(error));
  return content;
}

Status write_regular_file(std::string_view path, std::string_view content, bool* opened) {
  if (opened != nullptr) *opened = false;
  const std::wstring wide = widen(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (int error = regular_attributes(attributes); error != 0) return Status::failure(fail(error));
  }
  // The link itself is opened, never its target, so a link put in place meanwhile is
  // refused below and nothing is written.
  Handle file(::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return Status::failure(win32::record_file_error());
  BY_HANDLE_FILE_INFORMATION info{};
  int error = regular_handle(file.get(), info);
  if (error == 0) {
    if (opened != nullptr) *opened = true;
    if (!::SetEndOfFile(file.get())) error = last_error_errno();
    if (error == 0) error = write_all(file.get(), content);
  }
  if (error != 0) return Status::failure(fail(error));
  return Status::success();
}

Status write_file_atomic(std::string_view path, std::string_view content) {
  static std::atomic<unsigned> serial{0};
  const std::string target(path);
  std::string temp;
  HANDLE created = INVALID_HANDLE_VALUE;
  for (int attempt = 0; created == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    temp =
        target + ".tmp" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++);
    created = ::CreateFileW(widen(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (created == INVALID_HANDLE_VALUE) return Status::failure(win32::record_file_error());
  Handle file(created);
  int error = write_all(file.get(), content);
  if (error == 0 && !::FlushFileBuffers(file.get())) error = last_error_errno();
  ::CloseHandle(file.release());
  // Replacing, and written through: the new content is under the name, on disk, when this
  // returns.
  if (error == 0 && !::MoveFileExW(widen(temp).c_str(), widen(target).c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = last_error_errno();
  }
  if (error != 0) {
    ::DeleteFileW(widen(temp).c_str());
    return Status::failure(fail(error));
  }
  return Status::success();
}

AppendFile::~AppendFile() {
  close();
}

void AppendFile::close() {
  if (handle_ != -1) ::CloseHandle(to_handle(handle_));
  handle_ = -1;
  path_.clear();
}

Status AppendFile::append_whole(std::string_view path, std::string_view data) {
  const bool same_path = handle_ != -1 && path_ == path;
  const uint64_t now = check_interval_ms_ > 0 ? monotonic_ms() : 0;
  const bool look = !same_path || check_interval_ms_ == 0 || checked_at_ms_ == 0 ||
                    now - checked_at_ms_ >= check_interval_ms_;
  if (look) {
    std::string name(path);
    const std::wstring wide = widen(name);
    BY_HANDLE_FILE_INFORMATION seen{};
    bool current = false;
    if (same_path) {
      Handle probe(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      current = probe.valid() && ::GetFileInformationByHandle(probe.get(), &seen) &&
                seen.dwVolumeSerialNumber == device_ &&
                ((static_cast<unsigned long long>(seen.nFileIndexHigh) << 32) |
                 seen.nFileIndexLow) == inode_;
    }
    if (!current) {
      close();
      // Append-only access: every write lands at the end, whoever else writes the file.
      // Others may rename or remove it meanwhile (a rotation), which the next look sees.
      Handle file(::CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid()) return Status::failure(win32::record_file_error());
      if (!::GetFileInformationByHandle(file.get(), &seen)) {
        return Status::failure(win32::record_file_error());
      }
      handle_ = to_int(file.release());
      path_ = std::move(name);
      device_ = seen.dwVolumeSerialNumber;
      inode_ = (static_cast<unsigned long long>(seen.nFileIndexHigh) << 32) | seen.nFileIndexLow;
    }
    checked_at_ms_ = now;
  }
  size_t written = 0;
  HANDLE file = to_handle(handle_);
  if (int error = write_all(file, data, &written); error != 0) {
    // Only this append's own bytes are cut off: the file's end now, less what reached it
    // from this line. Append-only access cannot move the end, so a handle with write
    // access to the same file does it.
    LARGE_INTEGER size{};
    if (written > 0 && ::GetFileSizeEx(file, &size) &&
        static_cast<unsigned long long>(size.QuadPart) >= written) {
      Handle cut(::ReOpenFile(file, GENERIC_WRITE, kShareAll, 0));
      if (cut.valid()) {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = size.QuadPart - static_cast<LONGLONG>(written);
        (void)::SetFileInformationByHandle(cut.get(), FileEndOfFileInfo, &end, sizeof end);
      }
    }
    // A handle that failed once is opened afresh, so a file system that recovers is seen
    // through a new open as well.
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
    if (handle_ != -1) ::CloseHandle(to_handle(handle_));
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  // Closing the handle releases the lock.
  if (handle_ != -1) ::CloseHandle(to_handle(handle_));
}

Result<FileLock> FileLock::acquire(std::string_view path) {
  Handle file(::CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return Result<FileLock>::failure(win32::record_file_error());
  // Byte-range locks belong to the handle, so two threads of one process that each
  // acquire the lock exclude each other too. The whole range is locked, whatever the size.
  OVERLAPPED whole{};
  if (!::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return Result<FileLock>::failure(win32::record_file_error());
  }
  return FileLock(to_int(file.release()));
}

}  // namespace qma::platform
