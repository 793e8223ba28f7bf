// QMAzip: packs files into a zip archive under their base names.
//
//   QMAzip [-o] ARCHIVE FILE...     -o replaces an existing archive
//
// A file that does not exist (or no longer exists when its turn comes), a symbolic link
// and anything that is not a regular file are skipped with a line on standard error.
// Exit status: 0 written, 1 usage, 2 nothing to pack or the archive cannot be written.
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/archive_io.h"
#include "platform/file.h"
#include "tools/archivers/archiver_words.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr zip_uint32_t kModeFile = 0100000;

std::string skip_reason(int error) {
  switch (error) {
    case ENOENT:
      return "it does not exist";
    case ELOOP:
      return "it is a symbolic link";
    case EINVAL:
      return "it is not a regular file";
    default:
      return std::strerror(error);
  }
}

std::string open_error_text(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  auto words = qma::archivers::archiver_words(argc, argv);
  if (words.operands.size() < 2 || !words.only_options({})) {
    std::fputs(
        "usage: QMAzip [-o] ARCHIVE FILE...\n"
        "Packs the files into ARCHIVE under their base names (-o replaces ARCHIVE).\n",
        stderr);
    return kExitUsage;
  }
  const std::string& archive_path = words.operands[0];
  int code = 0;
  zip_t* archive = zip_open(archive_path.c_str(),
                            ZIP_CREATE | (words.overwrite() ? ZIP_TRUNCATE : ZIP_EXCL), &code);
  if (archive == nullptr) {
    std::fprintf(
        stderr, "QMAzip: cannot create %s: %s\n", archive_path.c_str(),
        code == ZIP_ER_EXISTS ? "it exists (-o replaces it)" : open_error_text(code).c_str());
    return kExitFailed;
  }
  int packed = 0;
  for (size_t i = 1; i < words.operands.size(); ++i) {
    const std::string& path = words.operands[i];
    std::string base = path.substr(path.find_last_of(qma::platform::kPathSeparators) + 1);
    if (base.empty()) {
      std::fprintf(stderr, "QMAzip: skipped %s: it names no file\n", path.c_str());
      continue;
    }
    // The file stays open until the archive is written, so one that is removed
    // meanwhile is still packed as it was; one that grows is packed up to the
    // size it had here.
    auto file = qma::platform::open_regular_file(path);
    if (!file.ok()) {
      std::fprintf(stderr, "QMAzip: skipped %s: %s\n", path.c_str(),
                   skip_reason(file.error()).c_str());
      continue;
    }
    zip_source_t* source =
        zip_source_filep(archive, file->file.get(), 0, static_cast<zip_int64_t>(file->size));
    if (source == nullptr) {
      std::fprintf(stderr, "QMAzip: skipped %s: %s\n", path.c_str(), zip_strerror(archive));
      continue;
    }
    (void)file->file.release();  // the source owns it now
    zip_int64_t index = zip_file_add(archive, base.c_str(), source, 0);
    if (index < 0) {
      std::fprintf(stderr, "QMAzip: skipped %s: %s\n", path.c_str(),
                   zip_error_code_zip(zip_get_error(archive)) == ZIP_ER_EXISTS
                       ? ("an entry named " + base + " is packed already").c_str()
                       : zip_strerror(archive));
      zip_source_free(source);
      continue;
    }
    (void)zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                           ZIP_OPSYS_UNIX, (kModeFile | (file->mode & 0777)) << 16);
    ++packed;
  }
  if (packed == 0) {
    std::fprintf(stderr, "QMAzip: nothing to pack into %s\n", archive_path.c_str());
    zip_discard(archive);
    return kExitFailed;
  }
  if (zip_close(archive) != 0) {
    std::fprintf(stderr, "QMAzip: cannot write %s: %s\n", archive_path.c_str(),
                 zip_strerror(archive));
    zip_discard(archive);
    return kExitFailed;
  }
  return kExitDone;
}
