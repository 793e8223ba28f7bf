// File access of the archivers: writing inside one folder without ever leaving it, and
// reading a regular file without following a symbolic link.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace qma::platform {

/// What a name inside a confined folder is, looked at without following links.
enum class EntryKind { kNone, kFile, kFolder, kLink, kOther };

/// A file being written into a confined folder. Its content appears under its
/// name only when committed; dropping it uncommitted leaves nothing behind.
class NewFile {
 public:
  NewFile(NewFile&&) noexcept;
  NewFile& operator=(NewFile&&) noexcept;
  ~NewFile();

  [[nodiscard]] Status write(const void* data, size_t size);
  /// Flushes the content to disk and puts it in place of the name, replacing a
  /// file or link of that name (never a folder, and never writing through a link).
  [[nodiscard]] Status commit();

 private:
  friend class ConfinedFolder;
  NewFile(int folder, std::string temp_name, std::string name, int handle);
  void discard();
  int folder_ = -1;
  std::string temp_name_;
  std::string name_;
  int handle_ = -1;
};

/// A folder that files are written into by relative names ("a/b/c", separated
/// by '/'). No name leads out of it: every component is opened without
/// following symbolic links, and "..", "." and empty components are refused.
class ConfinedFolder {
 public:
  ConfinedFolder(ConfinedFolder&&) noexcept;
  ConfinedFolder& operator=(ConfinedFolder&&) noexcept;
  ~ConfinedFolder();

  /// Opens an existing folder (the path itself may be reached through links).
  [[nodiscard]] static Result<ConfinedFolder> open(std::string_view path);

  /// What the name is; kNone when it is absent or a component before it is no folder.
  EntryKind kind(std::string_view relative) const;
  /// Creates the folder and its missing parents as real folders (mode 0755).
  [[nodiscard]] Status make_folders(std::string_view relative);
  /// Starts a new file with these permission bits, in an existing parent folder.
  [[nodiscard]] Result<NewFile> create_file(std::string_view relative, uint32_t mode);
  /// Makes a symbolic link, replacing a file or link of that name.
  [[nodiscard]] Status make_link(std::string_view relative, std::string_view target);
  /// Bytes an unprivileged user may still write on the folder's file system.
  [[nodiscard]] Result<uint64_t> free_bytes() const;

 private:
  explicit ConfinedFolder(int handle) : handle_(handle) {}
  int handle_ = -1;
};

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

/// An open regular file, its size and permission bits when it was opened.
struct RegularFile {
  FileHandle file;
  uint64_t size = 0;
  uint32_t mode = 0;
  int64_t modified = 0;  ///< seconds since 1970
};
/// Whether a symbolic link as the last component of a path is followed.
enum class LastLink { kRefuse, kFollow };
/// Opens an existing regular file for reading. A symbolic link as the last
/// component fails with ELOOP (unless followed), anything but a regular file
/// with EINVAL.
[[nodiscard]] Result<RegularFile> open_regular_file(std::string_view path,
                                                    LastLink last_link = LastLink::kRefuse);

}  // namespace qma::platform
