// QMAunz: unpacks a zip archive into the current folder, and refuses, before writing
// anything, an archive that would write outside it or that is damaged or too large.
//
//   QMAunz [-x] [-o] ARCHIVE     -x unpack (the only mode), -o replace existing files
//
// Exit status: 0 unpacked, 1 usage, 2 refused or failed (reason on standard error and
// in ARCHIVE.err beside the archive, a name no top-level entry may have).
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/archive_io.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "tools/archivers/archiver_words.h"

namespace {

using qma::platform::ConfinedFolder;
using qma::platform::EntryKind;

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitRefused = 2;

constexpr uint64_t kDefaultLimit = uint64_t{4} << 30;
constexpr size_t kMaxLinkTarget = 1023;
constexpr size_t kMaxComponent = 255;
constexpr size_t kMaxName = 4095;

// File type bits of a Unix mode, as zip archives store them in the external attributes.
constexpr uint32_t kModeTypeMask = 0170000;
constexpr uint32_t kModeLink = 0120000;
constexpr uint32_t kModeFolder = 0040000;
constexpr uint32_t kModeFile = 0100000;
constexpr uint32_t kDosFolder = 0x10;

enum class Kind { kFile, kFolder, kLink };

struct Entry {
  zip_uint64_t index = 0;
  std::string name;  // normalised: components joined by '/'
  std::vector<std::string> parts;
  Kind kind = Kind::kFile;
  uint64_t size = 0;
  uint32_t mode = 0644;
  std::string target;  // of a link
};

struct TreeNode {
  Kind kind = Kind::kFolder;
  bool explicit_entry = false;
};

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipCloser>;
struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFile = std::unique_ptr<zip_file_t, ZipFileCloser>;

std::string join(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += '/';
    out += parts[i];
  }
  return out;
}

std::string open_error_text(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

bool has_drive_prefix(const std::string& name) {
  return name.size() >= 2 && name[1] == ':' &&
         ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

/// Splits a stored name into components. Backslashes separate too, as they do
/// where many archives are made. Fails on absolute names and "..".
bool split_name(const std::string& raw, std::vector<std::string>& parts, std::string& reason) {
  std::string name = raw;
  std::replace(name.begin(), name.end(), '\\', '/');
  if (!name.empty() && name[0] == '/') {
    reason = "'" + raw + "' is an absolute name";
    return false;
  }
  if (has_drive_prefix(name)) {
    reason = "'" + raw + "' names a drive";
    return false;
  }
  if (name.size() > kMaxName) {
    reason = "'" + raw + "' is longer than " + std::to_string(kMaxName) + " bytes";
    return false;
  }
  parts.clear();
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      reason = "'" + raw + "' climbs out of the folder with '..'";
      return false;
    }
    if (part.size() > kMaxComponent) {
      reason =
          "'" + raw + "' has a component longer than " + std::to_string(kMaxComponent) + " bytes";
      return false;
    }
    parts.push_back(part);
  }
  return true;
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

/// Where a refusal is reported besides standard error: ARCHIVE.err, beside the archive.
struct ReportPlace {
  std::string folder;
  std::string name;
};
ReportPlace report_place(const std::string& archive) {
  size_t slash = archive.find_last_of(qma::platform::kPathSeparators);
  if (slash == std::string::npos) return {".", archive + ".err"};
  return {archive.substr(0, slash + 1), archive.substr(slash + 1) + ".err"};
}

class Unpacker {
 public:
  Unpacker(std::string archive, bool overwrite, ConfinedFolder& folder)
      : archive_path_(std::move(archive)),
        report_name_(report_place(archive_path_).name),
        overwrite_(overwrite),
        folder_(folder) {}

  /// Checks the whole archive; true when it may be unpacked.
  bool check() {
    int code = 0;
    archive_.reset(zip_open(archive_path_.c_str(), ZIP_RDONLY, &code));
    if (!archive_) return refuse("the archive cannot be read: " + open_error_text(code));
    return read_entries() && check_links() && check_disk() && check_limit() &&
           check_consistency() && check_data();
  }

  /// Writes folders, files and finally links.
  bool unpack() {
    std::set<std::string> folders;
    for (const Entry& entry : entries_) {
      size_t count = entry.kind == Kind::kFolder ? entry.parts.size() : entry.parts.size() - 1;
      if (count > 0) folders.insert(join(entry.parts, count));
    }
    for (const std::string& folder : folders) {
      if (!folder_.make_folders(folder).ok()) return fail_write(folder);
    }
    for (const Entry& entry : entries_) {
      if (entry.kind == Kind::kFile && !write_file(entry)) return false;
    }
    for (const Entry& entry : entries_) {
      if (entry.kind == Kind::kLink && !folder_.make_link(entry.name, entry.target).ok()) {
        return fail_write(entry.name);
      }
    }
    return true;
  }

  const std::string& reason() const { return reason_; }

 private:
  bool refuse(const std::string& reason) {
    reason_ = "refused " + archive_path_ + ": " + reason;
    return false;
  }
  bool fail_write(const std::string& name) {
    reason_ = "failed " + archive_path_ + ": cannot write '" + name +
              "': " + std::strerror(qma::platform::last_error());
    return false;
  }

  bool read_entries() {
    zip_int64_t count = zip_get_num_entries(archive_.get(), 0);
    if (count < 0) return refuse("the archive cannot be read");
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
      zip_stat_t st;
      zip_stat_init(&st);
      if (zip_stat_index(archive_.get(), i, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0) {
        return refuse("entry " + std::to_string(i) + " cannot be read");
      }
      Entry entry;
      entry.index = i;
      std::string raw = st.name;
      if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
        return refuse("'" + raw + "' is encrypted");
      }
      if ((st.valid & ZIP_STAT_COMP_METHOD) != 0 &&
          !zip_compression_method_supported(static_cast<zip_int32_t>(st.comp_method), 0)) {
        return refuse("'" + raw + "' uses an unsupported compression method");
      }
      entry.size = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
      if (!classify(raw, entry)) return false;
      std::string why;
      if (!split_name(raw, entry.parts, why)) return refuse(why);
      if (entry.parts.empty()) {
        if (entry.kind == Kind::kFolder) continue;  // "./": the folder itself
        return refuse("entry " + std::to_string(i) + " has no name");
      }
      // Whoever reads the report would take such an entry for a refusal.
      if (equal_ignoring_case(entry.parts[0], report_name_)) {
        return refuse("'" + raw + "' has the name of the refusal report '" + report_name_ + "'");
      }
      entry.name = join(entry.parts, entry.parts.size());
      if (!place_in_tree(entry, raw)) return false;
      entries_.push_back(std::move(entry));
    }
    return true;
  }

  /// Folder, file or link, and the permission bits a file gets.
  bool classify(const std::string& raw, Entry& entry) {
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive_.get(), entry.index, 0, &system, &attributes) !=
        0) {
      system = ZIP_OPSYS_DOS;
      attributes = 0;
    }
    bool trailing_slash = !raw.empty() && (raw.back() == '/' || raw.back() == '\\');
    uint32_t mode = attributes >> 16;
    if (system == ZIP_OPSYS_UNIX && mode != 0) {
      uint32_t type = mode & kModeTypeMask;
      if (type == kModeLink) {
        entry.kind = Kind::kLink;
      } else if (type == kModeFolder || trailing_slash) {
        entry.kind = Kind::kFolder;
      } else if (type == kModeFile || type == 0) {
        entry.kind = Kind::kFile;
      } else {
        return refuse("'" + raw + "' is a special file");
      }
      // Group and others never get write permission in the unpacked tree.
      entry.mode = (mode & 0755) | 0400;
      if (entry.kind == Kind::kLink && trailing_slash) {
        return refuse("'" + raw + "' is a symbolic link named as a folder");
      }
    } else {
      entry.kind = trailing_slash || (attributes & kDosFolder) != 0 ? Kind::kFolder : Kind::kFile;
    }
    return true;
  }

  /// Records the entry and the folders it implies; refuses duplicates and names
  /// that are a folder for one entry and a file or link for another.
  bool place_in_tree(const Entry& entry, const std::string& raw) {
    for (size_t depth = 1; depth < entry.parts.size(); ++depth) {
      std::string prefix = join(entry.parts, depth);
      auto found = tree_.find(prefix);
      if (found == tree_.end()) {
        tree_[prefix] = TreeNode{};
      } else if (found->second.kind == Kind::kLink) {
        return refuse("'" + raw + "' would be written through the symbolic link '" + prefix + "'");
      } else if (found->second.kind == Kind::kFile) {
        return refuse("'" + raw + "' needs '" + prefix + "' as a folder, but it is a file");
      }
    }
    auto found = tree_.find(entry.name);
    if (found != tree_.end()) {
      const TreeNode& node = found->second;
      if (node.explicit_entry) return refuse("'" + entry.name + "' appears twice");
      if (entry.kind == Kind::kLink) {
        return refuse("'" + entry.name +
                      "' is a symbolic link and a folder that other entries are written into");
      }
      if (entry.kind == Kind::kFile) {
        return refuse("'" + entry.name + "' is a file and a folder of other entries");
      }
    }
    tree_[entry.name] = TreeNode{entry.kind, true};
    return true;
  }

  bool is_link(const std::string& path) const {
    auto found = tree_.find(path);
    if (found != tree_.end()) return found->second.kind == Kind::kLink;
    return folder_.kind(path) == EntryKind::kLink;
  }

  /// A link must point inside the folder, by a relative path that passes through
  /// no other link (so a chain of links can never climb out).
  bool check_links() {
    for (Entry& entry : entries_) {
      if (entry.kind != Kind::kLink) continue;
      if (entry.size == 0 || entry.size > kMaxLinkTarget) {
        return refuse("the symbolic link '" + entry.name + "' has a target of " +
                      std::to_string(entry.size) + " bytes");
      }
      std::string target;
      if (!read_entry(entry, &target, nullptr)) return false;
      if (target.find('\0') != std::string::npos) {
        return refuse("the symbolic link '" + entry.name + "' has a NUL in its target");
      }
      std::string checked = target;
      std::replace(checked.begin(), checked.end(), '\\', '/');
      if (checked[0] == '/' || has_drive_prefix(checked)) {
        return refuse("the symbolic link '" + entry.name + "' points outside the folder, to '" +
                      target + "'");
      }
      std::vector<std::string> where(entry.parts.begin(), entry.parts.end() - 1);
      size_t start = 0;
      while (start <= checked.size()) {
        size_t end = checked.find('/', start);
        if (end == std::string::npos) end = checked.size();
        std::string part = checked.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (!where.empty() && is_link(join(where, where.size()))) {
          return refuse("the symbolic link '" + entry.name +
                        "' points through the symbolic link '" + join(where, where.size()) + "'");
        }
        if (part != "..") {
          where.push_back(part);
        } else if (where.empty()) {
          return refuse("the symbolic link '" + entry.name + "' points outside the folder, to '" +
                        target + "'");
        } else {
          where.pop_back();
        }
      }
      // A link of the archive at the end is checked on its own; one already in the folder
      // that the archive does not replace may lead anywhere.
      if (!where.empty() && tree_.find(join(where, where.size())) == tree_.end() &&
          folder_.kind(join(where, where.size())) == EntryKind::kLink) {
        return refuse("the symbolic link '" + entry.name +
                      "' points to the existing symbolic link '" + join(where, where.size()) + "'");
      }
      entry.target = target;
    }
    return true;
  }

  /// What is already in the folder: links are never passed through, and a file
  /// is replaced only with -o.
  bool check_disk() {
    std::set<std::string> seen;
    for (const Entry& entry : entries_) {
      for (size_t depth = 1; depth < entry.parts.size(); ++depth) {
        std::string prefix = join(entry.parts, depth);
        if (!seen.insert(prefix).second) continue;
        EntryKind kind = folder_.kind(prefix);
        if (kind == EntryKind::kLink) {
          return refuse("'" + entry.name +
                        "' would be written through the existing symbolic link '" + prefix + "'");
        }
        if (kind != EntryKind::kNone && kind != EntryKind::kFolder) {
          return refuse("'" + entry.name + "' needs '" + prefix +
                        "' as a folder, but a file of that name exists");
        }
      }
      EntryKind kind = folder_.kind(entry.name);
      if (kind == EntryKind::kNone) continue;
      if (entry.kind == Kind::kFolder) {
        if (kind != EntryKind::kFolder) {
          return refuse("the folder '" + entry.name + "' exists as a file or link");
        }
      } else if (kind == EntryKind::kFolder || kind == EntryKind::kOther) {
        return refuse("'" + entry.name + "' exists as a folder or special file");
      } else if (!overwrite_) {
        return refuse("'" + entry.name + "' exists (-o replaces it)");
      }
    }
    return true;
  }

  bool check_limit() {
    uint64_t limit = kDefaultLimit;
    if (auto text = qma::platform::get_env("QMAUNZ_MAX_BYTES"); text && !text->empty()) {
      char* end = nullptr;
      unsigned long long value = std::strtoull(text->c_str(), &end, 10);
      if (end != nullptr && *end == '\0') limit = value;
    }
    auto free_bytes = folder_.free_bytes();
    if (free_bytes.ok()) limit = std::min(limit, *free_bytes / 4);
    limit_ = limit;
    uint64_t total = 0;
    for (const Entry& entry : entries_) {
      if (entry.kind == Kind::kFolder) continue;
      if (entry.size > limit || total > limit - entry.size) {
        return refuse("it expands past the limit of " + std::to_string(limit) + " bytes");
      }
      total += entry.size;
    }
    return true;
  }

  bool check_consistency() {
    int code = 0;
    zip_t* checked = zip_open(archive_path_.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (checked == nullptr) return refuse("the archive is damaged: " + open_error_text(code));
    zip_discard(checked);
    return true;
  }

  /// Reads every file once, so that damaged data and sizes that lie are found
  /// before anything is written.
  bool check_data() {
    uint64_t total = 0;
    for (const Entry& entry : entries_) {
      if (entry.kind != Kind::kFile) continue;
      uint64_t read = 0;
      if (!read_entry(entry, nullptr, &read)) return false;
      total += read;
      if (total > limit_) {
        return refuse("it expands past the limit of " + std::to_string(limit_) + " bytes");
      }
    }
    return true;
  }

  /// Streams an entry into `text` (when given) or into `out` (when open), never
  /// taking more bytes than the entry declares.
  bool read_entry(const Entry& entry, std::string* text, uint64_t* count,
                  qma::platform::NewFile* out = nullptr) {
    ZipFile file(zip_fopen_index(archive_.get(), entry.index, 0));
    if (!file) {
      return refuse("'" + entry.name + "' cannot be read: " + zip_strerror(archive_.get()));
    }
    char buffer[64 * 1024];
    uint64_t total = 0;
    for (;;) {
      zip_int64_t n = zip_fread(file.get(), buffer, sizeof buffer);
      if (n < 0) return refuse("'" + entry.name + "' is damaged: " + zip_file_strerror(file.get()));
      if (n == 0) break;
      total += static_cast<uint64_t>(n);
      if (total > entry.size)
        return refuse("'" + entry.name + "' holds more data than it declares");
      if (text != nullptr) text->append(buffer, static_cast<size_t>(n));
      if (out != nullptr && !out->write(buffer, static_cast<size_t>(n)).ok()) {
        return fail_write(entry.name);
      }
    }
    if (total != entry.size) return refuse("'" + entry.name + "' holds less data than it declares");
    if (count != nullptr) *count = total;
    return true;
  }

  bool write_file(const Entry& entry) {
    auto file = folder_.create_file(entry.name, entry.mode);
    if (!file.ok()) return fail_write(entry.name);
    if (!read_entry(entry, nullptr, nullptr, &file.value())) return false;
    if (!file->commit().ok()) return fail_write(entry.name);
    return true;
  }

  std::string archive_path_;
  std::string report_name_;
  bool overwrite_;
  ConfinedFolder& folder_;
  ZipArchive archive_;
  std::vector<Entry> entries_;
  std::map<std::string, TreeNode> tree_;
  uint64_t limit_ = 0;
  std::string reason_;
};

/// Leaves the reason in ARCHIVE.err as well, for a caller that cannot see standard error.
void write_report(const std::string& archive, const std::string& reason) {
  ReportPlace where = report_place(archive);
  auto place = ConfinedFolder::open(where.folder);
  if (!place.ok()) return;
  auto file = place->create_file(where.name, 0644);
  if (!file.ok()) return;
  std::string line = "QMAunz: " + reason + "\n";
  if (file->write(line.data(), line.size()).ok()) (void)file->commit();
}

}  // namespace

int main(int argc, char** argv) {
  auto words = qma::archivers::archiver_words(argc, argv);
  if (words.operands.size() != 1 || !words.only_options({"-x"})) {
    std::fputs(
        "usage: QMAunz [-x] [-o] ARCHIVE\n"
        "Unpacks ARCHIVE into the current folder (-o replaces existing files).\n",
        stderr);
    return kExitUsage;
  }
  const std::string& archive = words.operands[0];
  auto folder = ConfinedFolder::open(".");
  if (!folder.ok()) {
    std::fprintf(stderr, "QMAunz: failed %s: the current folder cannot be opened: %s\n",
                 archive.c_str(), std::strerror(folder.error()));
    return kExitRefused;
  }
  Unpacker unpacker(archive, words.overwrite(), folder.value());
  if (!unpacker.check() || !unpacker.unpack()) {
    std::fprintf(stderr, "QMAunz: %s\n", unpacker.reason().c_str());
    write_report(archive, unpacker.reason());
    return kExitRefused;
  }
  return kExitDone;
}
