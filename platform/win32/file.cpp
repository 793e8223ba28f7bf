// Files and folders through the wide-character Win32 file functions (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs:
// every failure is returned and recorded as the thread's last error, as the errno value
// the portable code compares with. Reading, atomic writing and file locks live in
// file_io.cpp.
#include "platform/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace win32 {

/// The errno value the portable code expects for a Win32 file error.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_BUSY:
    case ERROR_USER_MAPPED_FILE:
      return EBUSY;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_TOO_MANY_LINKS:
      return EMLINK;
    case ERROR_NOT_SUPPORTED:
      return ENOTSUP;
    default:
      return EIO;
  }
}

/// Records GetLastError() as its errno value and returns that.
int record_file_error() {
  const int error = errno_of(::GetLastError());
  set_last_error(error);
  return error;
}

}  // namespace win32

namespace {

using win32::record_file_error;
using win32::widen;

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

Status fail_last() {
  return Status::failure(record_file_error());
}

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
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

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Opens the entry itself (a folder too; a link is not followed).
Handle open_entry(const std::string& path, DWORD access, DWORD share = kShareAll) {
  return Handle(::CreateFileW(widen(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

/// The path without the separators that end it (a drive root keeps its own).
std::string_view trimmed(std::string_view path) {
  while (path.size() > 1 && is_separator(path.back())) {
    if (path.size() == 3 && path[1] == ':') break;
    path.remove_suffix(1);
  }
  return path;
}

/// 0 when the open entry is a regular file on a disk (its information in *info), else
/// why it is refused: ELOOP for a link or other reparse point, EPERM for a folder or device.
int regular_entry(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) return EPERM;
  if (!::GetFileInformationByHandle(handle, info)) return win32::errno_of(::GetLastError());
  if (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ELOOP;
  if (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EPERM;
  return 0;
}

/// Renames the open entry to a full path, never over an existing entry.
int rename_handle(HANDLE handle, const std::string& target) {
  const std::wstring wide = widen(target);
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (wide.size() + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
  std::copy(wide.begin(), wide.end(), info->FileName);
  info->FileName[wide.size()] = L'\0';
  if (!::SetFileInformationByHandle(handle, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
    return win32::errno_of(::GetLastError());
  }
  return 0;
}

/// Deletes the open entry (opened with DELETE access) itself, whatever name it has now.
int delete_handle(HANDLE handle) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = TRUE;
  if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info)) {
    return win32::errno_of(::GetLastError());
  }
  return 0;
}

/// Copies the open file into the target folder as `name`: written under a temporary
/// name there, flushed, then renamed into place (never over an existing file).
int copy_in(HANDLE source, const std::string& folder, const std::string& name) {
  static std::atomic<unsigned> serial{0};
  std::string temporary;
  Handle out;
  for (int attempt = 0; !out.valid() && attempt < 100; ++attempt) {
    temporary = join_path(folder, ".upload-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                      std::to_string(serial++));
    out = Handle(::CreateFileW(widen(temporary).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid() && ::GetLastError() != ERROR_FILE_EXISTS) {
      return win32::errno_of(::GetLastError());
    }
  }
  if (!out.valid()) return EEXIST;
  int error = 0;
  char buffer[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(source, buffer, sizeof buffer, &got, nullptr)) {
      error = win32::errno_of(::GetLastError());
      break;
    }
    if (got == 0) break;
    DWORD put = 0;
    if (!::WriteFile(out.get(), buffer, got, &put, nullptr) || put != got) {
      error = put != got && ::GetLastError() == ERROR_SUCCESS ? ENOSPC
                                                              : win32::errno_of(::GetLastError());
      break;
    }
  }
  if (error == 0 && !::FlushFileBuffers(out.get())) error = win32::errno_of(::GetLastError());
  if (error == 0) error = rename_handle(out.get(), join_path(folder, name));
  if (error != 0) (void)delete_handle(out.get());
  return error;
}

/// Deletes or moves the plain name in a folder the caller has checked (and holds open).
Status act_in_folder(const std::string& folder, std::string_view name, UploadAction action,
                     std::string_view to_folder, bool single_link) {
  // "name:stream" would reach a stream inside another file.
  if (name.find(':') != std::string_view::npos) return fail(EINVAL);
  const std::string path = join_path(folder, name);
  // Without sharing for writing and deletion, nobody changes or replaces the file
  // between the check and the act.
  Handle entry = open_entry(path, GENERIC_READ | DELETE, FILE_SHARE_READ);
  if (!entry.valid()) {
    const DWORD error = ::GetLastError();
    // A folder or a file opened by another program: look at what it is without reading.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      Handle look = open_entry(path, FILE_READ_ATTRIBUTES);
      BY_HANDLE_FILE_INFORMATION info{};
      if (look.valid()) {
        if (int refused = regular_entry(look.get(), &info); refused != 0) return fail(refused);
      }
    }
    return fail(win32::errno_of(error));
  }
  BY_HANDLE_FILE_INFORMATION checked{};
  if (int error = regular_entry(entry.get(), &checked); error != 0) return fail(error);
  // A second name of the file may be a foreign file linked in: it is not taken.
  if (single_link && checked.nNumberOfLinks != 1) return fail(EMLINK);

  if (action == UploadAction::kDelete) {
    const int error = delete_handle(entry.get());
    return error == 0 ? Status::success() : fail(error);
  }
  const std::string target_folder(trimmed(to_folder));
  const std::string target = join_path(target_folder, name);
  int error = rename_handle(entry.get(), target);
  if (error == EXDEV) {
    error = copy_in(entry.get(), target_folder, std::string(name));
    // The copy is complete and on disk; the upload goes only now.
    if (error == 0) error = delete_handle(entry.get());
  }
  // A rename within the volume is a change of the file system's own records, which it logs
  // itself; the file's data is untouched. (Flushing would need write access to the upload,
  // and a refused flush would report a move that was done as not done.)
  return error == 0 ? Status::success() : fail(error);
}

/// A request's upload folder, every step below its upload folder held open as a real
/// folder (never a link), so that none of them can be renamed or replaced meanwhile.
struct HeldFolder {
  std::string path;
  std::vector<Handle> steps;
};

bool open_request_folder(std::string_view folder, HeldFolder& held) {
  folder = trimmed(folder);
  for (const std::string& root_text : upload_folders()) {
    std::string_view root = trimmed(root_text);
    std::string_view rest;
    if (iequals(folder, root)) {
      rest = {};
    } else if (folder.size() > root.size() && iequals(folder.substr(0, root.size()), root) &&
               (is_separator(folder[root.size()]) || is_separator(root.back()))) {
      rest = folder.substr(root.size());
    } else {
      continue;
    }
    HeldFolder attempt;
    attempt.path = std::string(root);
    // The upload folder itself may be reached through links; what is below it may not.
    Handle top(::CreateFileW(widen(attempt.path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!top.valid() || !::GetFileInformationByHandle(top.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      continue;
    }
    attempt.steps.push_back(std::move(top));
    bool good = true;
    while (good && !rest.empty()) {
      while (!rest.empty() && is_separator(rest.front())) rest.remove_prefix(1);
      const size_t end = rest.find_first_of("\\/");
      std::string_view step = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
      if (step.empty()) continue;
      if (!is_plain_name(step) || step.find(':') != std::string_view::npos) {
        good = false;
        break;
      }
      attempt.path = join_path(attempt.path, step);
      Handle next =
          open_entry(attempt.path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
      good = next.valid() && ::GetFileInformationByHandle(next.get(), &info) &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      attempt.steps.push_back(std::move(next));
    }
    if (good) {
      held = std::move(attempt);
      return true;
    }
  }
  set_last_error(EACCES);
  return false;
}

}  // namespace

std::string join_path(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string out(folder);
  while (!name.empty() && is_separator(name.front())) name.remove_prefix(1);
  if (!is_separator(out.back())) out.push_back(kPathSeparator);
  out.append(name);
  return out;
}

std::string resolve_path(std::string_view path) {
  // Windows file systems look names up without regard to case themselves.
  return std::string(path);
}

bool is_absolute_path(std::string_view path) {
  // "C:\..." or a network path "\\server\share"; "\dir" and "C:dir" depend on the
  // current drive or its current folder.
  if (path.size() >= 3 && path[1] == ':' && is_separator(path[2])) {
    const char drive = path[0];
    return (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
  }
  return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

bool file_readable(std::string_view path) {
  const std::wstring wide = widen(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    record_file_error();
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    set_last_error(EISDIR);
    return false;
  }
  Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    record_file_error();
    return false;
  }
  return true;
}

Result<EntryIdentity> entry_identity(std::string_view path) {
  Handle entry = open_entry(std::string(path), FILE_READ_ATTRIBUTES);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!entry.valid() || !::GetFileInformationByHandle(entry.get(), &info)) {
    return Result<EntryIdentity>::failure(record_file_error());
  }
  return EntryIdentity{info.dwVolumeSerialNumber,
                       (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool is_directory(std::string_view path) {
  const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    record_file_error();
    return false;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool is_directory_as_named(std::string_view path) {
  return is_directory(path);
}

Result<std::vector<DirEntry>> list_directory(std::string_view folder, std::string_view pattern) {
  // Every entry is listed and matched here, so that short 8.3 names never match a pattern.
  WIN32_FIND_DATAW found{};
  HANDLE find = ::FindFirstFileExW(widen(join_path(folder, "*")).c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  std::vector<DirEntry> entries;
  if (find == INVALID_HANDLE_VALUE) {
    // A folder without a single entry (a drive's root) lists nothing.
    if (::GetLastError() == ERROR_FILE_NOT_FOUND && is_directory(folder)) return entries;
    return Result<std::vector<DirEntry>>::failure(record_file_error());
  }
  int error = 0;
  do {
    DirEntry out;
    out.name = win32::narrow(found.cFileName);
    if (!wildcard_match(pattern, out.name)) continue;
    const DWORD attributes = found.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // A link is only a reparse point, even when it points at a folder, so that
      // "is it a directory" never leads anyone through it.
      out.attributes = kAttrReparsePoint;
    } else {
      out.attributes = attributes & (kAttrReadOnly | kAttrHidden | kAttrDirectory);
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        out.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      }
    }
    if (out.attributes == 0) out.attributes = kAttrNormal;
    entries.push_back(std::move(out));
  } while (::FindNextFileW(find, &found));
  if (::GetLastError() != ERROR_NO_MORE_FILES) error = win32::errno_of(::GetLastError());
  ::FindClose(find);
  if (error != 0) {
    set_last_error(error);
    return Result<std::vector<DirEntry>>::failure(error);
  }
  // "." and ".." first, the rest in byte order, so listings are the same on every run.
  auto rank = [](const std::string& name) { return name == "." ? 0 : name == ".." ? 1 : 2; };
  std::sort(entries.begin(), entries.end(), [&](const DirEntry& a, const DirEntry& b) {
    int ra = rank(a.name);
    int rb = rank(b.name);
    return ra != rb ? ra < rb : a.name < b.name;
  });
  return entries;
}

Status move_file(std::string_view from, std::string_view to) {
  // No replacing and no copying: an existing target is refused, another volume is EXDEV.
  // Write-through: the move is on disk before it is reported done.
  if (!::MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return fail_last();
  }
  return Status::success();
}

Status act_on_upload(std::string_view folder, std::string_view name, UploadAction action,
                     std::string_view to_folder) {
  if (!is_plain_name(name) || folder.empty()) return fail(EINVAL);
  if (action == UploadAction::kMove && to_folder.empty()) return fail(EINVAL);
  const std::string path(trimmed(folder));
  // Held open while acting, so the folder cannot be renamed or replaced meanwhile.
  Handle held(::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!held.valid()) return fail_last();
  return act_in_folder(path, name, action, to_folder, false);
}

std::vector<std::string> upload_folders() {
  std::vector<std::string> folders{join_path(state_dir(), "upload")};
  if (auto added = get_nonempty_env("QMA_UPLOAD_FOLDERS")) {
    std::string_view rest = *added;
    while (!rest.empty()) {
      size_t end = rest.find(kPathListSeparator);
      std::string_view one = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
      // Only whole absolute paths, without a step back up.
      bool up = false;
      for (size_t start = 0; start <= one.size();) {
        size_t stop = one.find_first_of("\\/", start);
        if (stop == std::string_view::npos) stop = one.size();
        if (one.substr(start, stop - start) == "..") up = true;
        start = stop + 1;
      }
      if (is_absolute_path(one) && !up) folders.emplace_back(one);
    }
  }
  return folders;
}

bool upload_folder_accepted(std::string_view folder) {
  HeldFolder held;
  return open_request_folder(folder, held);
}

Status act_on_request_upload(std::string_view folder, std::string_view name, UploadAction action,
                             std::string_view to_folder) {
  if (!is_plain_name(name) || folder.empty()) return fail(EINVAL);
  if (action == UploadAction::kMove && to_folder.empty()) return fail(EINVAL);
  HeldFolder held;
  if (!open_request_folder(folder, held)) return fail(EACCES);
  return act_in_folder(held.path, name, action, to_folder, true);
}

Status copy_file(std::string_view from, std::string_view to, bool overwrite) {
  const std::wstring source = widen(from);
  const DWORD attributes = ::GetFileAttributesW(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail_last();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return fail(EISDIR);
  // Copying a file onto itself would empty it: refused, whatever path names it.
  auto a = entry_identity(from);
  auto b = entry_identity(to);
  if (a.ok() && b.ok() && *a == *b) return fail(EBUSY);
  if (!::CopyFileW(source.c_str(), widen(to).c_str(), overwrite ? FALSE : TRUE)) {
    return fail_last();
  }
  return Status::success();
}

Status delete_file(std::string_view path) {
  if (!::DeleteFileW(widen(path).c_str())) return fail_last();
  return Status::success();
}

Status create_directory(std::string_view path) {
  if (!::CreateDirectoryW(widen(path).c_str(), nullptr)) return fail_last();
  return Status::success();
}

Status remove_directory(std::string_view path) {
  if (!::RemoveDirectoryW(widen(path).c_str())) return fail_last();
  return Status::success();
}

namespace {

/// Removes one entry without following a link; a read-only file goes too. 0 or the error.
int remove_entry(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (::RemoveDirectoryW(path.c_str())) return 0;
  } else {
    if (::DeleteFileW(path.c_str())) return 0;
    if (::GetLastError() == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY) &&
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) &&
        ::DeleteFileW(path.c_str())) {
      return 0;
    }
  }
  return win32::errno_of(::GetLastError());
}

/// Removes everything in a real folder (never entering a link); 0 or the first error.
int empty_folder(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE find = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    return ::GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : win32::errno_of(::GetLastError());
  }
  std::vector<std::pair<std::wstring, DWORD>> names;
  do {
    const std::wstring_view name(found.cFileName);
    if (name != L"." && name != L"..") names.emplace_back(name, found.dwFileAttributes);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
  int first = 0;
  for (const auto& [name, attributes] : names) {
    const std::wstring path = folder + L"\\" + name;
    int error = 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      error = empty_folder(path);
    }
    if (int removed = remove_entry(path, attributes); error == 0) error = removed;
    if (first == 0) first = error;
  }
  return first;
}

}  // namespace

Status remove_tree(std::string_view path) {
  const std::wstring wide = widen(trimmed(path));
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail_last();
  int error = 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = empty_folder(wide);
  }
  if (int removed = remove_entry(wide, attributes); error == 0) error = removed;
  if (error != 0) return fail(error);
  return Status::success();
}

}  // namespace qma::platform
