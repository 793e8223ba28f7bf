// Files and folders with the Windows behaviour the agent expects.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qma::platform {

/// The separator of the paths the agent builds.
/// On Windows it is '\\' (the file functions take '/' as well); elsewhere '/'.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
/// The characters that end a folder name in a path the system accepts: '/' and '\\' on
/// Windows, '/' elsewhere.
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\";
#else
inline constexpr const char* kPathSeparators = "/";
#endif
/// What separates the folders of a list in one variable (QMA_UPLOAD_FOLDERS): ';' on
/// Windows, ':' elsewhere.
#ifdef _WIN32
inline constexpr char kPathListSeparator = ';';
#else
inline constexpr char kPathListSeparator = ':';
#endif

/// Windows file attribute bits as listings report them.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kAttrReparsePoint = 0x400;

/// True where the file system itself looks names up without regard to case (Windows), so
/// that resolve_path gives a path back as written; false elsewhere, where resolve_path finds
/// the spelling on disk.
#ifdef _WIN32
inline constexpr bool kFileSystemIgnoresCase = true;
#else
inline constexpr bool kFileSystemIgnoresCase = false;
#endif

/// folder + separator + name (no separator doubled).
std::string join_path(std::string_view folder, std::string_view name);

/// The path as it exists: when the exact name is absent, the last component is
/// looked up without regard to case within its folder. Returns the input when
/// nothing matches.
std::string resolve_path(std::string_view path);

/// True when the path (resolved as above) can be opened for reading.
bool file_readable(std::string_view path);
/// True when the path is an existing directory.
bool is_directory(std::string_view path);
/// True when the path, exactly as written, names an existing directory (links followed):
/// for the host's own folders, whose names never vary in case. One look at the path.
/// On Windows: the same as is_directory.
bool is_directory_as_named(std::string_view path);

/// What names one file system entry, whatever path reaches it: its device and file number.
/// A rename keeps them; a copy, or an entry unpacked or restored from an archive, gets new ones.
struct EntryIdentity {
  uint64_t device = 0;
  uint64_t number = 0;
  bool operator==(const EntryIdentity&) const = default;
};
/// The identity of the entry at the path itself: a symbolic link is not followed.
[[nodiscard]] Result<EntryIdentity> entry_identity(std::string_view path);

struct DirEntry {
  std::string name;
  uint32_t attributes = 0;
  uint64_t size = 0;
};
/// Entries of a folder whose names match a pattern with * and ? (case-insensitive),
/// with "." and ".." included as Windows lists them. Symbolic links are reported
/// as reparse points and never followed.
[[nodiscard]] Result<std::vector<DirEntry>> list_directory(std::string_view folder,
                                                           std::string_view pattern = "*");
/// Windows wildcard match (* and ?), without regard to case.
bool wildcard_match(std::string_view pattern, std::string_view name);

/// Renames with write-through; never copies across volumes (fails with EXDEV there).
[[nodiscard]] Status move_file(std::string_view from, std::string_view to);
/// Copies a file; fails when the target exists and overwrite is false.
[[nodiscard]] Status copy_file(std::string_view from, std::string_view to, bool overwrite);
[[nodiscard]] Status delete_file(std::string_view path);
/// The error delete_file gives for a folder: EACCES on Windows (access denied), EISDIR on Linux.
#ifdef _WIN32
inline constexpr int kErrorDeleteFolder = EACCES;
#else
inline constexpr int kErrorDeleteFolder = EISDIR;
#endif
[[nodiscard]] Status create_directory(std::string_view path);
[[nodiscard]] Status remove_directory(std::string_view path);
/// Removes a folder with everything it holds, or a file. Symbolic links (the path itself or
/// any entry below it) are removed as links, never followed. Goes on past an entry it cannot
/// remove and reports the first error.
[[nodiscard]] Status remove_tree(std::string_view path);

/// True when the path starts at the file system's root, so that it never depends on the
/// working folder. On Linux: it starts with "/".
bool is_absolute_path(std::string_view path);

/// True when the text names one entry of a folder and nothing else: not empty,
/// no '/', '\' or zero byte, and not "." or "..". Names that a request carries
/// (module ids, uploaded file names) must pass this before they become a path.
bool is_plain_name(std::string_view name);

/// What act_on_upload does with the file a client named.
enum class UploadAction { kDelete, kMove };
/// Deletes the file `name` in `folder`, or moves it into `to_folder` under the
/// same name, only when `name` is a plain name (else EINVAL) of a regular file
/// there. A symbolic link in that place is never followed and is refused with
/// ELOOP; a folder, device, FIFO or socket is refused with EPERM; refused files
/// are left alone. The folder itself may be reached through links. When the
/// exact name is absent, the name is looked up without regard to case. A move
/// never replaces an existing file and is written through, as move_file; across
/// file systems (EXDEV) the file is copied into the target folder under a
/// temporary name, synced, renamed into place, and only then deleted.
[[nodiscard]] Status act_on_upload(std::string_view folder, std::string_view name,
                                   UploadAction action, std::string_view to_folder = {});

/// The folders a request's upload may be taken from: the agent's own upload folder,
/// state_dir() + "/upload", and each absolute folder named in the variable
/// QMA_UPLOAD_FOLDERS (separated by kPathListSeparator).
std::vector<std::string> upload_folders();
/// True when `folder` is one of upload_folders() or a folder below one, reached
/// from it through real folders only (never a link); else false with EACCES.
bool upload_folder_accepted(std::string_view folder);
/// act_on_upload for the file that a request names by folder and file name;
/// every such file is acted on only through this function. The folder must be
/// accepted as by upload_folder_accepted (else EACCES, nothing is touched), and a
/// file with more than one hard link is refused with EMLINK and left alone, since
/// its other name may be a file the client does not own.
[[nodiscard]] Status act_on_request_upload(std::string_view folder, std::string_view name,
                                           UploadAction action, std::string_view to_folder = {});

/// One file's append descriptor, kept open across appends so that a line costs
/// a write and, now and then, a look at the path. An append checks that the
/// path still names the open file (a rotation or another process may have
/// replaced or removed it) and opens the path again (created with mode 0644 when
/// absent) when not. By default every append checks; with a check interval, the
/// path is looked at again only once that much time has passed since the last
/// look, or after `recheck`. An append is whole: when not every byte can be
/// written (a full disk), what was written is cut off again, so the file never
/// ends in a torn piece. Callers take turns (the logs hold their mutex).
class AppendFile {
 public:
  AppendFile() = default;
  explicit AppendFile(uint32_t check_interval_ms) : check_interval_ms_(check_interval_ms) {}
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();
  [[nodiscard]] Status append_whole(std::string_view path, std::string_view data);
  /// The next append looks at the path whatever the interval: the caller has
  /// just renamed, truncated or removed the file itself.
  void recheck() { checked_at_ms_ = 0; }
  /// Closes the descriptor; the next append opens the path again.
  void close();

 private:
  int handle_ = -1;
  std::string path_;
  unsigned long long device_ = 0;
  unsigned long long inode_ = 0;
  uint32_t check_interval_ms_ = 0;
  /// Monotonic time of the last look at the path; 0: look at the next append.
  uint64_t checked_at_ms_ = 0;
};

/// Whole-file read; fails when the file cannot be opened.
[[nodiscard]] Result<std::string> read_file(std::string_view path);
/// read_file for the host's small, seldom changed files (os-release, firmware attributes),
/// through one copy per process and path: every call looks at the path once (links
/// followed) and reads the file again only when its device, file number, size, modification
/// time or change time differ from the copy's, or when the file changed less than two
/// seconds ago (a change within the file system's time granularity could leave all of them
/// as they were). A failure is never kept: the next call looks again. Files above 64 KiB
/// are read each time. On Windows: every call reads.
[[nodiscard]] Result<std::string> read_file_cached(std::string_view path);

/// The largest XML file a tool or package may hand the agent (result files, descriptors,
/// version records): 1 MiB.
inline constexpr size_t kXmlFileMax = 1024 * 1024;
/// The largest small state file (module status, agent status, package information file):
/// 64 KiB.
inline constexpr size_t kStateFileMax = 64 * 1024;

/// Whole read of a file that another program may have put in place, without ever waiting
/// on it: the path (last component looked up without regard to case, as resolve_path) must
/// name a regular file of at most `max_size` bytes. It is opened once, without following a
/// symbolic link at the last component (ELOOP) and without blocking; a FIFO, device, socket
/// or folder in its place is refused with EPERM before it is opened, and a file above the
/// bound, or one that grows past it while read, with EFBIG. Every file that an update tool
/// or a package can write is read only through this function.
[[nodiscard]] Result<std::string> read_regular_file(std::string_view path, size_t max_size);
/// Replaces a file's content in place (created with mode 0644 when absent) without ever
/// waiting on it: a symbolic link at the last component is refused with ELOOP and
/// anything but a regular file (a FIFO with or without a reader, a device, a socket) with
/// EPERM, and nothing is written then. `opened`, when given, tells whether the file was
/// opened as a regular file (so that a failure came from writing it).
[[nodiscard]] Status write_regular_file(std::string_view path, std::string_view content,
                                        bool* opened = nullptr);
/// Replaces a file's content atomically: temporary file, flush to disk, rename.
[[nodiscard]] Status write_file_atomic(std::string_view path, std::string_view content);

/// An exclusive advisory lock on a file, held until destroyed. Serialises
/// writers of one file across processes.
class FileLock {
 public:
  FileLock(FileLock&&) noexcept;
  FileLock& operator=(FileLock&&) noexcept;
  ~FileLock();
  /// Blocks until the lock on the file (created when absent) is held.
  [[nodiscard]] static Result<FileLock> acquire(std::string_view path);

 private:
  explicit FileLock(int handle) : handle_(handle) {}
  int handle_ = -1;
};

}  // namespace qma::platform
