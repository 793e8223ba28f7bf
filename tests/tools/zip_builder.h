// Zip archives for tests, made with libzip: plain, with Unix modes and links, without Unix
// modes as made on Windows, and damaged on purpose by patching their bytes; and read back
// whole, every entry's checksum checked.
#pragma once

#include <zip.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_roots.h"

namespace qma::test {

inline constexpr uint32_t kZipFile = 0100644;
inline constexpr uint32_t kZipTool = 0100755;
inline constexpr uint32_t kZipFolder = 0040755;
inline constexpr uint32_t kZipLink = 0120777;
/// A file as archivers on Windows store it: no Unix mode, only the DOS "archive" attribute.
inline constexpr uint32_t kZipWindowsFile = 0;

struct ZipItem {
  std::string name;
  std::string data;  ///< content, or the target of a link
  uint32_t mode = kZipFile;
  bool stored = false;  ///< kept uncompressed, so its bytes can be found and damaged
};

/// Writes the items in order; false when libzip refused one.
inline bool write_zip(const std::filesystem::path& path, const std::vector<ZipItem>& items) {
  int error = 0;
  zip_t* archive = zip_open(path_text(path).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) return false;
  for (const ZipItem& item : items) {
    zip_int64_t index;
    if ((item.mode & 0170000) == 0040000) {
      index = zip_dir_add(archive, item.name.c_str(), 0);
    } else {
      zip_source_t* source = zip_source_buffer(archive, item.data.data(), item.data.size(), 0);
      index = source == nullptr ? -1 : zip_file_add(archive, item.name.c_str(), source, 0);
      if (index < 0 && source != nullptr) zip_source_free(source);
    }
    if (index < 0) {
      zip_discard(archive);
      return false;
    }
    auto at = static_cast<zip_uint64_t>(index);
    if (item.mode == kZipWindowsFile) {
      zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_DOS, 0x20);
    } else {
      zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX, item.mode << 16);
    }
    if (item.stored) zip_set_file_compression(archive, at, ZIP_CM_STORE, 0);
  }
  return zip_close(archive) == 0;
}

struct ZipEntry {
  std::string name;
  std::string data;
};

/// Every entry of an archive, in the archive's order, each read to its end (so libzip checks
/// its checksum); nullopt when the archive does not open as a consistent zip file or an entry
/// does not read back whole.
inline std::optional<std::vector<ZipEntry>> read_zip(const std::filesystem::path& path) {
  int error = 0;
  zip_t* archive = zip_open(path_text(path).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (archive == nullptr) return std::nullopt;
  std::vector<ZipEntry> entries;
  bool whole = true;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; whole && i < count; ++i) {
    const auto at = static_cast<zip_uint64_t>(i);
    zip_stat_t stat;
    zip_file_t* file =
        zip_stat_index(archive, at, 0, &stat) == 0 ? zip_fopen_index(archive, at, 0) : nullptr;
    if (file == nullptr) {
      whole = false;
      break;
    }
    ZipEntry entry{stat.name, {}};
    char buffer[8192];
    zip_int64_t n;
    while ((n = zip_fread(file, buffer, sizeof buffer)) > 0) {
      entry.data.append(buffer, static_cast<size_t>(n));
    }
    whole = zip_fclose(file) == 0 && n == 0 && entry.data.size() == stat.size;
    entries.push_back(std::move(entry));
  }
  zip_discard(archive);
  if (!whole) return std::nullopt;
  return entries;
}

/// Replaces every occurrence of `from` by `to` (of the same length) in a file.
inline void patch_bytes(const std::filesystem::path& path, const std::string& from,
                        const std::string& to) {
  std::string bytes = read_text(path);
  for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
    bytes.replace(at, from.size(), to);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

/// The names of the entries of a folder (recursively, relative, sorted), links not followed.
inline std::vector<std::string> tree_of(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().lexically_relative(folder).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qma::test
