// Files and folders with the behaviour of the Windows file functions (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs:
// every failure is returned and recorded as the thread's last error (errno).
// Reading, atomic writing and file locks live in file_io.cpp.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"

namespace qma::platform {

namespace {

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

Status fail_errno() {
  return fail(errno);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
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

// Reads the listing to its end and closes it: the name that equals `name` but for ASCII case;
// of several, the first in byte order, so the choice does not depend on the order the file
// system lists them in. Empty when there is none.
std::string listed_ignoring_case(DIR* dir, std::string_view name) {
  std::string found;
  while (dirent* entry = readdir(dir)) {
    std::string_view candidate(entry->d_name);
    if (equal_ignoring_case(candidate, name) && (found.empty() || candidate < found)) {
      found.assign(candidate);
    }
  }
  closedir(dir);
  return found;
}

/// The folder part of a path ("." for a bare name, "/" for a name in the root).
std::string parent_of(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

/// Flushes a folder's entries to disk, so that a rename in it survives a crash.
int sync_folder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  // Some file systems cannot sync a folder; the rename itself has happened.
  if (error == EINVAL || error == EROFS) error = 0;
  return error;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

std::string join_path(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string out(folder);
  while (!name.empty() && name.front() == kPathSeparator) name.remove_prefix(1);
  if (out.back() != kPathSeparator) out.push_back(kPathSeparator);
  out.append(name);
  return out;
}

std::string resolve_path(std::string_view path) {
  std::string exact(path);
  if (exact.empty()) return exact;
  struct stat st {};
  if (lstat(exact.c_str(), &st) == 0) return exact;

  size_t end = exact.find_last_not_of('/');
  if (end == std::string::npos) return exact;
  size_t slash = exact.rfind('/', end);
  size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  std::string_view name(exact.data() + name_start, end + 1 - name_start);
  if (name == "." || name == "..") return exact;

  std::string folder = parent_of(exact.substr(0, end + 1));
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return exact;
  std::string found = listed_ignoring_case(dir, name);
  if (found.empty()) return exact;
  return exact.substr(0, name_start) + found + exact.substr(end + 1);
}

bool is_absolute_path(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

bool file_readable(std::string_view path) {
  std::string resolved = resolve_path(path);
  // Non-blocking, so that a FIFO never hangs the caller.
  Fd fd(open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    set_last_error(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    set_last_error(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    set_last_error(EISDIR);
    return false;
  }
  return true;
}

Result<EntryIdentity> entry_identity(std::string_view path) {
  struct stat st {};
  if (lstat(std::string(path).c_str(), &st) != 0) {
    const int error = errno;
    set_last_error(error);
    return Result<EntryIdentity>::failure(error);
  }
  return EntryIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool is_directory(std::string_view path) {
  std::string resolved = resolve_path(path);
  struct stat st {};
  if (stat(resolved.c_str(), &st) != 0) {
    set_last_error(errno);
    return false;
  }
  return S_ISDIR(st.st_mode);
}

bool is_directory_as_named(std::string_view path) {
  struct stat st {};
  if (stat(std::string(path).c_str(), &st) != 0) {
    set_last_error(errno);
    return false;
  }
  return S_ISDIR(st.st_mode);
}

Result<std::vector<DirEntry>> list_directory(std::string_view folder, std::string_view pattern) {
  std::string resolved = resolve_path(folder);
  DIR* dir = opendir(resolved.c_str());
  if (dir == nullptr) {
    int error = errno;
    set_last_error(error);
    return Result<std::vector<DirEntry>>::failure(error);
  }
  std::vector<DirEntry> entries;
  int dir_fd = dirfd(dir);
  int error = 0;
  for (;;) {
    // errno is the only way readdir tells the end from a failure.
    errno = 0;
    dirent* entry = readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    std::string_view name(entry->d_name);
    if (!wildcard_match(pattern, name)) continue;
    struct stat st {};
    // Never follow a link: a sweep must not reach outside the folder.
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    DirEntry out;
    out.name.assign(name);
    bool dot_name = name == "." || name == "..";
    if (S_ISLNK(st.st_mode)) {
      // A link is only a reparse point, even when it points at a folder, so
      // that "is it a directory" never leads anyone through it.
      out.attributes |= kAttrReparsePoint;
    } else if (S_ISDIR(st.st_mode)) {
      out.attributes |= kAttrDirectory;
    } else {
      out.size = static_cast<uint64_t>(st.st_size);
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) out.attributes |= kAttrReadOnly;
    if (!dot_name && name.front() == '.') out.attributes |= kAttrHidden;
    if (out.attributes == 0) out.attributes = kAttrNormal;
    entries.push_back(std::move(out));
  }
  closedir(dir);
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
  std::string source = resolve_path(from);
  std::string target = resolve_path(to);
  // A change of case only ("a.txt" to "A.txt") renames the file to the name given.
  if (target == source) target.assign(to);
  // As a Windows move without "replace existing": an existing target is refused.
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    int error = errno;
    if (error != EINVAL && error != ENOSYS) return fail(error);
    // The file system cannot refuse atomically; check first, then rename.
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0) return fail(EEXIST);
    if (rename(source.c_str(), target.c_str()) != 0) return fail_errno();
  }
  // Write-through: the move is on disk before we report it done.
  std::string target_folder = parent_of(target);
  std::string source_folder = parent_of(source);
  int error = sync_folder(target_folder);
  if (error == 0 && source_folder != target_folder) error = sync_folder(source_folder);
  if (error != 0) return fail(error);
  return Status::success();
}

namespace {

/// The entry of an open folder that `name` means: the exact name, else the
/// first name in byte order that differs only in case; empty when none.
std::string entry_in(int dir_fd, const std::string& name) {
  struct stat st {};
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return name;
  int listing_fd = dup(dir_fd);
  if (listing_fd < 0) return {};
  DIR* dir = fdopendir(listing_fd);
  if (dir == nullptr) {
    close(listing_fd);
    return {};
  }
  rewinddir(dir);
  return listed_ignoring_case(dir, name);
}

/// 0 when the entry is a regular file (its status in *st), else why it is refused.
int regular_entry(int dir_fd, const std::string& entry, struct stat* st) {
  if (fstatat(dir_fd, entry.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISLNK(st->st_mode)) return ELOOP;
  if (!S_ISREG(st->st_mode)) return EPERM;
  return 0;
}

int sync_fd(int fd) {
  return fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
}

/// Copies what is left to read of one descriptor into another; 0 or why not.
int copy_bytes(int in, int out) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
  }
}

/// Copies the open file into the target folder as `target`: written under a temporary
/// name there, synced, then renamed into place (never over an existing file). 0 or why not.
int copy_in(int source_fd, int target_dir, const std::string& target) {
  static std::atomic<unsigned> serial{0};
  std::string temporary;
  int out = -1;
  for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
    temporary = ".upload-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    out = openat(target_dir, temporary.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (out < 0 && errno != EEXIST) return errno;
  }
  if (out < 0) return EEXIST;
  Fd written(out);
  int error = copy_bytes(source_fd, written.get());
  if (error == 0 && fsync(written.get()) != 0) error = errno;
  if (error == 0 && close(written.release()) != 0) error = errno;
  if (error == 0 &&
      renameat2(target_dir, temporary.c_str(), target_dir, target.c_str(), RENAME_NOREPLACE) != 0) {
    error = errno;
    if (error == EINVAL || error == ENOSYS) {
      struct stat existing {};
      error = fstatat(target_dir, target.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0   ? EEXIST
              : renameat(target_dir, temporary.c_str(), target_dir, target.c_str()) == 0 ? 0
                                                                                         : errno;
    }
  }
  if (error != 0) {
    (void)unlinkat(target_dir, temporary.c_str(), 0);
    return error;
  }
  return sync_fd(target_dir);
}

/// Moves the checked entry across file systems: copied in whole, then the upload is deleted.
/// The entry is opened without following a link and must still be the file that was checked.
int move_by_copy(int dir_fd, const std::string& entry, const struct stat& checked, int target_dir,
                 const std::string& target) {
  Fd source(openat(dir_fd, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (source.get() < 0) return errno;
  struct stat opened {};
  if (fstat(source.get(), &opened) != 0) return errno;
  if (opened.st_ino != checked.st_ino || opened.st_dev != checked.st_dev) return EAGAIN;
  if (int error = copy_in(source.get(), target_dir, target); error != 0) return error;
  // The copy is complete and on disk; the upload goes only now.
  if (unlinkat(dir_fd, entry.c_str(), 0) != 0) return errno;
  return sync_fd(dir_fd);
}

Status act_in_folder(int dir_fd, std::string_view name, UploadAction action,
                     std::string_view to_folder, bool single_link) {
  std::string entry = entry_in(dir_fd, std::string(name));
  if (entry.empty()) return fail(ENOENT);
  struct stat checked {};
  if (int error = regular_entry(dir_fd, entry, &checked); error != 0) return fail(error);
  // A second name of the file may be a foreign file linked in: it is not taken.
  if (single_link && checked.st_nlink != 1) return fail(EMLINK);

  // Neither unlinkat nor renameat follows a link in the last component, so an
  // entry swapped after the check is at worst removed or moved itself; a moved
  // entry is checked again below.
  if (action == UploadAction::kDelete) {
    if (unlinkat(dir_fd, entry.c_str(), 0) != 0) return fail_errno();
    int error = sync_fd(dir_fd);
    return error == 0 ? Status::success() : fail(error);
  }

  Fd target_dir(open(resolve_path(to_folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (target_dir.get() < 0) return fail_errno();
  const std::string target(name);
  if (renameat2(dir_fd, entry.c_str(), target_dir.get(), target.c_str(), RENAME_NOREPLACE) != 0) {
    int error = errno;
    if (error == EXDEV) {
      error = move_by_copy(dir_fd, entry, checked, target_dir.get(), target);
      return error == 0 ? Status::success() : fail(error);
    }
    if (error != EINVAL && error != ENOSYS) return fail(error);
    struct stat existing {};
    if (fstatat(target_dir.get(), target.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      return fail(EEXIST);
    }
    if (renameat(dir_fd, entry.c_str(), target_dir.get(), target.c_str()) != 0) {
      return fail_errno();
    }
  }
  struct stat moved {};
  if (int error = regular_entry(target_dir.get(), target, &moved);
      error != 0 || moved.st_ino != checked.st_ino || moved.st_dev != checked.st_dev) {
    // Swapped between the check and the move: put it back and refuse.
    (void)renameat2(target_dir.get(), target.c_str(), dir_fd, entry.c_str(), RENAME_NOREPLACE);
    return fail(error != 0 ? error : EAGAIN);
  }
  for (int fd : {target_dir.get(), dir_fd}) {
    if (int error = sync_fd(fd); error != 0) return fail(error);
  }
  return Status::success();
}

/// The folder without trailing separators ("/" stays "/").
std::string_view trimmed(std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  return folder;
}

/// Opens a request's upload folder: one of the upload folders or a folder below one,
/// every step below it opened as a real folder, never through a link. -1 with errno
/// EACCES when the folder is none of these.
int open_request_folder(std::string_view folder) {
  folder = trimmed(folder);
  for (const std::string& root_text : upload_folders()) {
    std::string_view root = trimmed(root_text);
    std::string_view rest;
    if (folder == root) {
      rest = {};
    } else if (folder.size() > root.size() && folder.substr(0, root.size()) == root &&
               (folder[root.size()] == '/' || root == "/")) {
      rest = folder.substr(root.size());
    } else {
      continue;
    }
    Fd current(open(std::string(root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (current.get() < 0) continue;
    bool good = true;
    while (good && !rest.empty()) {
      while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
      size_t end = rest.find('/');
      std::string_view step = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
      if (step.empty()) continue;
      if (!is_plain_name(step)) {
        good = false;
        break;
      }
      int next = openat(current.get(), std::string(step).c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (next < 0) {
        good = false;
        break;
      }
      close(current.release());
      current = Fd(next);
    }
    if (good) return current.release();
  }
  errno = EACCES;
  return -1;
}

}  // namespace

Status act_on_upload(std::string_view folder, std::string_view name, UploadAction action,
                     std::string_view to_folder) {
  if (!is_plain_name(name) || folder.empty()) return fail(EINVAL);
  if (action == UploadAction::kMove && to_folder.empty()) return fail(EINVAL);
  Fd dir(open(resolve_path(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return fail_errno();
  return act_in_folder(dir.get(), name, action, to_folder, false);
}

std::vector<std::string> upload_folders() {
  std::vector<std::string> folders{join_path(state_dir(), "upload")};
  if (auto added = get_nonempty_env("QMA_UPLOAD_FOLDERS")) {
    std::string_view rest = *added;
    while (!rest.empty()) {
      size_t end = rest.find(kPathListSeparator);
      std::string_view one = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
      // Only whole absolute paths: a relative one would depend on the working folder.
      if (!one.empty() && one.front() == '/' && one.find("/../") == std::string_view::npos &&
          !one.ends_with("/..")) {
        folders.emplace_back(one);
      }
    }
  }
  return folders;
}

bool upload_folder_accepted(std::string_view folder) {
  Fd dir(open_request_folder(folder));
  if (dir.get() < 0) {
    set_last_error(errno);
    return false;
  }
  return true;
}

Status act_on_request_upload(std::string_view folder, std::string_view name, UploadAction action,
                             std::string_view to_folder) {
  if (!is_plain_name(name) || folder.empty()) return fail(EINVAL);
  if (action == UploadAction::kMove && to_folder.empty()) return fail(EINVAL);
  Fd dir(open_request_folder(folder));
  if (dir.get() < 0) return fail_errno();
  return act_in_folder(dir.get(), name, action, to_folder, true);
}

Status copy_file(std::string_view from, std::string_view to, bool overwrite) {
  std::string source = resolve_path(from);
  std::string target = resolve_path(to);
  Fd in(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (in.get() < 0) return fail_errno();
  struct stat src_st {};
  if (fstat(in.get(), &src_st) != 0) return fail_errno();
  if (S_ISDIR(src_st.st_mode)) return fail(EISDIR);

  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (overwrite ? 0 : O_EXCL);
  Fd out(open(target.c_str(), flags, src_st.st_mode & 07777));
  if (out.get() < 0) return fail_errno();
  struct stat dst_st {};
  if (fstat(out.get(), &dst_st) != 0) return fail_errno();
  // Copying a file onto itself would empty it; Windows refuses that too.
  if (dst_st.st_dev == src_st.st_dev && dst_st.st_ino == src_st.st_ino) return fail(EBUSY);
  if (ftruncate(out.get(), 0) != 0) return fail_errno();

  if (int error = copy_bytes(in.get(), out.get()); error != 0) return fail(error);
  if (close(out.release()) != 0) return fail_errno();
  return Status::success();
}

Status delete_file(std::string_view path) {
  std::string resolved = resolve_path(path);
  if (unlink(resolved.c_str()) != 0) return fail_errno();
  return Status::success();
}

Status create_directory(std::string_view path) {
  std::string resolved = resolve_path(path);
  if (mkdir(resolved.c_str(), 0777) != 0) return fail_errno();
  return Status::success();
}

Status remove_directory(std::string_view path) {
  std::string resolved = resolve_path(path);
  if (rmdir(resolved.c_str()) != 0) return fail_errno();
  return Status::success();
}

namespace {

// Opens a folder entry of an open folder, or of the current one, never through a link; -1
// (errno ENOTDIR or ELOOP for a file or a link) when it is no folder.
int open_folder_at(int dir_fd, const char* name) {
  return openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// Removes everything in the open folder and closes it; 0 or the first error.
int empty_folder(int folder_fd) {
  DIR* dir = fdopendir(folder_fd);
  if (dir == nullptr) {
    int error = errno;
    close(folder_fd);
    return error;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  int first = 0;
  auto note = [&first](int error) {
    if (first == 0) first = error;
  };
  const int fd = dirfd(dir);
  for (const std::string& name : names) {
    int child = open_folder_at(fd, name.c_str());
    if (child >= 0) {
      if (int error = empty_folder(child); error != 0) note(error);
      if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) note(errno);
    } else if (unlinkat(fd, name.c_str(), 0) != 0) {
      note(errno);
    }
  }
  closedir(dir);
  return first;
}

}  // namespace

Status remove_tree(std::string_view path) {
  std::string resolved = resolve_path(path);
  int folder = open_folder_at(AT_FDCWD, resolved.c_str());
  if (folder < 0) {
    if (errno != ENOTDIR && errno != ELOOP) return fail_errno();
    if (unlink(resolved.c_str()) != 0) return fail_errno();
    return Status::success();
  }
  int error = empty_folder(folder);
  if (rmdir(resolved.c_str()) != 0 && error == 0) error = errno;
  if (error != 0) return fail(error);
  return Status::success();
}

}  // namespace qma::platform
