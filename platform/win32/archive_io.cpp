// File access of the archivers (Windows backend): a folder written by relative names,
// every folder on the way held open and checked to be a real folder (never a link or
// other reparse point), and regular files read without following a link.
//
// This folder is the only place that may include OS headers. Nothing here logs:
// failures come back as errno values and are recorded as the thread's last error.
//
// Folder and file handles are kept in an int: Windows handles are 32-bit values that a
// 64-bit process may truncate and sign-extend again (HandleToLong / LongToHandle).
#include "platform/archive_io.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace win32 {
int errno_of(DWORD error);
}  // namespace win32

namespace {

using win32::widen;

int fail(int error) {
  set_last_error(error);
  return error;
}

int last_errno() {
  return win32::errno_of(::GetLastError());
}

int to_int(HANDLE handle) {
  return static_cast<int>(::HandleToLong(handle));
}

HANDLE to_handle(int handle) {
  return ::LongToHandle(handle);
}

class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
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

/// The components of a relative name, or an empty list when one is "", "." or "..", or
/// holds what Windows reads as a separator, a drive or a stream ('\', ':').
std::vector<std::string> components_of(std::string_view relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    std::string_view part = relative.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." ||
        part.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos) {
      return {};
    }
    parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

/// Opens a real folder by its full path without following a link, shared so that it
/// can be neither renamed nor removed while held. Invalid (errno ELOOP or ENOTDIR for a
/// link or a file) when it is none.
Handle open_real_folder(const std::wstring& path, int& error) {
  Handle folder(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder.valid() || !::GetFileInformationByHandle(folder.get(), &info)) {
    error = last_errno();
    return Handle();
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = ELOOP;
    return Handle();
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ENOTDIR;
    return Handle();
  }
  return folder;
}

/// The folder's full path as the system knows it now ("\\?\C:\..."), so that names below
/// it are taken as written, without any rewriting of dots or spaces.
std::wstring path_of(HANDLE folder) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length + 1);
  }
}

/// The folders on the way to the last component, every one held open.
struct Walk {
  std::wstring path;  ///< of the folder reached
  std::vector<Handle> held;
};

/// Walks the first `count` components from the root folder; 0 or the errno value.
int walk(HANDLE root, const std::vector<std::string>& parts, size_t count, Walk& out) {
  out.path = path_of(root);
  if (out.path.empty()) return last_errno();
  for (size_t i = 0; i < count; ++i) {
    out.path += L"\\" + widen(parts[i]);
    int error = 0;
    Handle next = open_real_folder(out.path, error);
    if (!next.valid()) return error;
    out.held.push_back(std::move(next));
  }
  return 0;
}

/// A name for a temporary entry beside the final one; unique within this process
/// and, with the process id, among processes.
std::wstring temp_name_for(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return widen("." + name.substr(0, 64) + ".part-" + std::to_string(::GetCurrentProcessId()) + "-" +
               std::to_string(counter.fetch_add(1)));
}

/// A folder of that name is never replaced.
bool is_real_folder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

/// Renames the open entry over `target` in its folder (replacing a file or link entry).
int rename_over(HANDLE handle, const std::wstring& target) {
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), info->FileName);
  info->FileName[target.size()] = L'\0';
  if (!::SetFileInformationByHandle(handle, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
    return last_errno();
  }
  return 0;
}

void delete_open(HANDLE handle) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = TRUE;
  (void)::SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info);
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
  if (handle_ != -1) {
    delete_open(to_handle(handle_));
    ::CloseHandle(to_handle(handle_));
  }
  if (folder_ != -1) ::CloseHandle(to_handle(folder_));
  handle_ = -1;
  folder_ = -1;
}

Status NewFile::write(const void* data, size_t size) {
  if (handle_ == -1) return Status::failure(fail(EBADF));
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(to_handle(handle_), p, chunk, &put, nullptr)) {
      return Status::failure(fail(last_errno()));
    }
    if (put == 0) return Status::failure(fail(ENOSPC));
    p += put;
    size -= put;
  }
  return Status::success();
}

Status NewFile::commit() {
  if (handle_ == -1) return Status::failure(fail(EBADF));
  // temp_name_ and name_ hold the full paths in the held folder.
  const std::wstring target = widen(name_);
  HANDLE file = to_handle(handle_);
  int error = ::FlushFileBuffers(file) ? 0 : last_errno();
  if (error == 0 && is_real_folder(target)) error = EISDIR;
  if (error == 0) error = rename_over(file, target);
  if (error != 0) delete_open(file);
  ::CloseHandle(file);
  handle_ = -1;
  if (error != 0) return Status::failure(fail(error));
  return Status::success();
}

ConfinedFolder::ConfinedFolder(ConfinedFolder&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

ConfinedFolder& ConfinedFolder::operator=(ConfinedFolder&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) ::CloseHandle(to_handle(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

ConfinedFolder::~ConfinedFolder() {
  if (handle_ != -1) ::CloseHandle(to_handle(handle_));
}

Result<ConfinedFolder> ConfinedFolder::open(std::string_view path) {
  // The path itself may be reached through links.
  Handle folder(::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder.valid() || !::GetFileInformationByHandle(folder.get(), &info)) {
    return Result<ConfinedFolder>::failure(fail(last_errno()));
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return Result<ConfinedFolder>::failure(fail(ENOTDIR));
  }
  return ConfinedFolder(to_int(folder.release()));
}

EntryKind ConfinedFolder::kind(std::string_view relative) const {
  auto parts = components_of(relative);
  if (parts.empty()) return EntryKind::kNone;
  Walk way;
  if (walk(to_handle(handle_), parts, parts.size() - 1, way) != 0) return EntryKind::kNone;
  const DWORD attributes = ::GetFileAttributesW((way.path + L"\\" + widen(parts.back())).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kNone;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

Status ConfinedFolder::make_folders(std::string_view relative) {
  auto parts = components_of(relative);
  if (parts.empty()) return Status::failure(fail(EINVAL));
  Walk way;
  if (int error = walk(to_handle(handle_), parts, 0, way); error != 0) {
    return Status::failure(fail(error));
  }
  for (const std::string& part : parts) {
    way.path += L"\\" + widen(part);
    if (!::CreateDirectoryW(way.path.c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return Status::failure(fail(last_errno()));
    }
    // An existing link or file of that name is refused here (ELOOP or ENOTDIR).
    int error = 0;
    Handle next = open_real_folder(way.path, error);
    if (!next.valid()) return Status::failure(fail(error));
    way.held.push_back(std::move(next));
  }
  return Status::success();
}

Result<NewFile> ConfinedFolder::create_file(std::string_view relative, uint32_t /*mode*/) {
  auto parts = components_of(relative);
  if (parts.empty()) return Result<NewFile>::failure(fail(EINVAL));
  Walk way;
  if (int error = walk(to_handle(handle_), parts, parts.size() - 1, way); error != 0) {
    return Result<NewFile>::failure(fail(error));
  }
  // The parent stays held by the new file; the root is opened once more for that.
  Handle parent;
  if (way.held.empty()) {
    int error = 0;
    parent = open_real_folder(way.path, error);
    if (!parent.valid()) return Result<NewFile>::failure(fail(error));
  } else {
    parent = std::move(way.held.back());
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring temp = way.path + L"\\" + temp_name_for(parts.back());
    HANDLE file = ::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return Result<NewFile>::failure(fail(last_errno()));
    }
    return NewFile(to_int(parent.release()), win32::narrow(temp),
                   win32::narrow(way.path + L"\\" + widen(parts.back())), to_int(file));
  }
  return Result<NewFile>::failure(fail(EEXIST));
}

Status ConfinedFolder::make_link(std::string_view relative, std::string_view target) {
  auto parts = components_of(relative);
  if (parts.empty()) return Status::failure(fail(EINVAL));
  Walk way;
  if (int error = walk(to_handle(handle_), parts, parts.size() - 1, way); error != 0) {
    return Status::failure(fail(error));
  }
  std::string native(target);
  std::replace(native.begin(), native.end(), '/', '\\');
  const std::wstring link_target = widen(native);
  const std::wstring name = way.path + L"\\" + widen(parts.back());
  if (is_real_folder(name)) return Status::failure(fail(EISDIR));
  // A link to a folder must say so when it is made; the target is looked at from the
  // link's own folder, where the system will resolve it.
  const bool absolute = native.size() >= 2 && (native[1] == ':' || native[0] == '\\');
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (is_real_folder(absolute ? link_target : way.path + L"\\" + link_target)) {
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  }
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    const std::wstring temp = way.path + L"\\" + temp_name_for(parts.back());
    if (!::CreateSymbolicLinkW(temp.c_str(), link_target.c_str(), flags)) {
      error = last_errno();
      continue;
    }
    // The link entry itself is moved; MoveFileEx never follows it.
    error = ::MoveFileExW(temp.c_str(), name.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                ? 0
                : last_errno();
    if (error != 0) {
      if (flags & SYMBOLIC_LINK_FLAG_DIRECTORY) {
        ::RemoveDirectoryW(temp.c_str());
      } else {
        ::DeleteFileW(temp.c_str());
      }
    }
    if (error == EEXIST) error = EIO;  // never retry a failed replacement
  }
  if (error != 0) return Status::failure(fail(error));
  return Status::success();
}

Result<uint64_t> ConfinedFolder::free_bytes() const {
  const std::wstring path = path_of(to_handle(handle_));
  ULARGE_INTEGER available{};
  if (path.empty() ||
      !::GetDiskFreeSpaceExW((path + L"\\").c_str(), &available, nullptr, nullptr)) {
    return Result<uint64_t>::failure(fail(last_errno()));
  }
  return static_cast<uint64_t>(available.QuadPart);
}

Result<RegularFile> open_regular_file(std::string_view path, LastLink last_link) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (last_link == LastLink::kRefuse) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  Handle file(::CreateFileW(widen(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) return Result<RegularFile>::failure(fail(last_errno()));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    return Result<RegularFile>::failure(fail(last_errno()));
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return Result<RegularFile>::failure(fail(EINVAL));
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return Result<RegularFile>::failure(fail(ELOOP));
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_BINARY);
  if (fd < 0) return Result<RegularFile>::failure(fail(EMFILE));
  file.release();
  std::FILE* stream = ::_fdopen(fd, "rb");
  if (stream == nullptr) {
    const int error = errno;
    ::_close(fd);
    return Result<RegularFile>::failure(fail(error));
  }
  RegularFile out;
  out.file.reset(stream);
  out.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  // Windows keeps no permission bits; a read-only file reads as such.
  out.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
  // 100-ns steps since 1601 to seconds since 1970.
  const uint64_t ticks = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                         info.ftLastWriteTime.dwLowDateTime;
  out.modified = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
  return out;
}

}  // namespace qma::platform
