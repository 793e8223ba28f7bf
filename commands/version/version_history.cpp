// The three-step version history of a module folder, rotated so that a crash at any point
// leaves either the old history or the new one.
#include <mutex>
#include <string>
#include <string_view>

#include "commands/module_files.h"
#include "commands/version/qma_get_version.h"
#include "common/log/qma_log.h"
#include "platform/error.h"
#include "platform/file.h"

namespace qma::commands {

namespace {

constexpr const char* kSrc = "QMAProc";
// The new history is prepared in kStaging and published by renaming it to kPublished; the
// manifest lists the files the new history holds (a name it lacks is removed on commit). Its
// first line names the staging folder's own identity, which the rename keeps and which no
// folder a package or tool brings can carry: only a folder that shows it is a rotation.
constexpr const char* kStaging = ".history-staging";
constexpr const char* kPublished = ".history-rotation";
constexpr const char* kManifest = "manifest";
constexpr const char* kIdentityWord = "folder ";
// Where something else found in kPublished's place is set aside: kSetAside and a number.
constexpr const char* kSetAside = ".history-set-aside-";
constexpr int kSetAsideNumbers = 100;

// Rotations and recoveries of all folders, one at a time: a second get-version run that went
// ahead without its module lock must not interleave with the first one's rotation.
std::mutex g_history_mutex;

using platform::join_path;

// Removes a hidden folder of the rotation with whatever the tool or anyone else put into it;
// links in it are removed, never followed.
void remove_folder(const std::string& folder) {
  (void)platform::remove_tree(folder);
}

// Removes the file `name` of the folder in every spelling of its case, so that a record written
// under its own name leaves no older one beside it under another spelling.
void remove_every_case(const std::string& folder, const char* name) {
  auto entries = platform::list_directory(folder, name);
  if (!entries.ok()) return;
  for (const auto& entry : entries.value()) {
    if ((entry.attributes & platform::kAttrDirectory) == 0) {
      (void)platform::delete_file(join_path(folder, entry.name));
    }
  }
}

bool listed(std::string_view manifest, std::string_view name) {
  size_t start = 0;
  while (start < manifest.size()) {
    size_t end = manifest.find('\n', start);
    if (end == std::string_view::npos) end = manifest.size();
    if (manifest.substr(start, end - start) == name) return true;
    start = end + 1;
  }
  return false;
}

// Moves a published history into place. Every step can be repeated, so an interrupted commit
// is finished by running it again: a staged file still present replaces its target, one
// already moved is skipped, and a file the new history lacks is removed.
void commit(const std::string& folder, const HistoryStepHook& step, int& steps) {
  const std::string published = join_path(folder, kPublished);
  auto tick = [&] {
    if (step) step(++steps);
  };
  // The tool runs in this folder: every record is read only as a bounded regular file, never
  // through a link and never waiting on it.
  auto manifest =
      platform::read_regular_file(join_path(published, kManifest), platform::kXmlFileMax);
  if (manifest.ok()) {
    for (const char* name : {kBeforePreviousVersion, kPreviousVersion, kCurrentVersion}) {
      const std::string target = join_path(folder, name);
      const std::string staged = join_path(published, name);
      if (!listed(manifest.value(), name)) {
        remove_every_case(folder, name);
        tick();
      } else if (platform::file_readable(staged)) {
        remove_every_case(folder, name);
        tick();
        if (auto moved = platform::move_file(staged, target); !moved.ok()) {
          QMA_LogError("rotate_version_history", kSrc, __LINE__,
                       "MoveFile() error! GetLastError=[%d] [%s]", moved.error(), target.c_str());
        }
        tick();
      }
    }
    (void)platform::delete_file(join_path(published, kManifest));
    tick();
  }
  // Without a manifest every file was already moved.
  remove_folder(published);
  tick();
}

std::string identity_line(const platform::EntryIdentity& identity) {
  return kIdentityWord + std::to_string(identity.device) + ":" + std::to_string(identity.number);
}

enum class Found { kNothing, kRotation, kEmptyFolder, kForeign };

// What stands in kPublished's place: a rotation this agent published (a real folder whose
// manifest names the folder itself), the empty folder a commit cut short leaves, or anything
// else, which is never taken for a rotation.
Found look_at_published(const std::string& published) {
  auto identity = platform::entry_identity(published);
  if (!identity.ok()) return Found::kNothing;
  auto entries = platform::list_directory(published, "*");
  if (!entries.ok() || !platform::is_directory(published)) return Found::kForeign;
  auto manifest = platform::read_file(join_path(published, kManifest));
  if (manifest.ok()) {
    std::string_view text = manifest.value();
    std::string_view first = text.substr(0, text.find('\n'));
    return first == identity_line(identity.value()) ? Found::kRotation : Found::kForeign;
  }
  for (const auto& entry : entries.value()) {
    if (entry.name != "." && entry.name != "..") return Found::kForeign;
  }
  return Found::kEmptyFolder;
}

// Moves a foreign entry out of kPublished's place, kept for a look under a name of its own;
// removed (links as links) when no such name is free or the move fails.
void set_aside(const std::string& folder) {
  const std::string published = join_path(folder, kPublished);
  for (int number = 1; number <= kSetAsideNumbers; ++number) {
    const std::string aside = join_path(folder, kSetAside + std::to_string(number));
    if (platform::entry_identity(aside).ok()) continue;
    if (platform::move_file(published, aside).ok()) {
      QMA_LogWarning("rotate_version_history", kSrc, __LINE__,
                     "An entry that is no rotation of the version history was set aside. "
                     "[%s] -> [%s]",
                     published.c_str(), aside.c_str());
      return;
    }
    break;
  }
  (void)platform::remove_tree(published);
  QMA_LogWarning("rotate_version_history", kSrc, __LINE__,
                 "An entry that is no rotation of the version history was removed. [%s]",
                 published.c_str());
}

void recover(const std::string& folder, const HistoryStepHook& step, int& steps) {
  const std::string published = join_path(folder, kPublished);
  switch (look_at_published(published)) {
    case Found::kNothing:
      break;
    case Found::kRotation:
      QMA_LogWarning("rotate_version_history", kSrc, __LINE__,
                     "Finishing an interrupted rotation of the version history. [%s]",
                     folder.c_str());
      commit(folder, step, steps);
      break;
    case Found::kEmptyFolder:
      // A commit that had moved every file and removed its manifest.
      remove_folder(published);
      break;
    case Found::kForeign:
      set_aside(folder);
      break;
  }
  // Whatever stands in the staging folder's place (a link, a file) goes too.
  remove_folder(join_path(folder, kStaging));
}

// The history shifted in place, one file at a time, when no staging folder can be made: not
// safe against a crash, but the new current record still lands. Older records move by rename.
bool rotate_in_place(const std::string& folder) {
  const std::string result = platform::resolve_path(join_path(folder, kGetVersionResult));
  auto content = platform::read_regular_file(result, platform::kXmlFileMax);
  if (!content.ok()) {
    QMA_LogError("rotate_version_history", kSrc, __LINE__,
                 "Version file cannot be read! GetLastError=[%d] [%s]", content.error(),
                 result.c_str());
    return false;
  }
  QMA_LogWarning("rotate_version_history", kSrc, __LINE__,
                 "Version history rotated in place without staging. [%s]", folder.c_str());
  // Each step first removes what stands under the target's name in other spellings: by then
  // it is a duplicate of a record already moved.
  remove_every_case(folder, kBeforePreviousVersion);
  (void)platform::move_file(join_path(folder, kPreviousVersion),
                            join_path(folder, kBeforePreviousVersion));
  remove_every_case(folder, kPreviousVersion);
  (void)platform::move_file(join_path(folder, kCurrentVersion),
                            join_path(folder, kPreviousVersion));
  remove_every_case(folder, kCurrentVersion);
  if (auto copied =
          platform::write_file_atomic(join_path(folder, kCurrentVersion), content.value());
      !copied.ok()) {
    QMA_LogError("rotate_version_history", kSrc, __LINE__,
                 "CopyFile() error! GetLastError=[%d] [%s]", copied.error(), result.c_str());
    return false;
  }
  return true;
}

}  // namespace

void recover_version_history(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_history_mutex);
  int steps = 0;
  recover(folder, {}, steps);
}

bool rotate_version_history(const std::string& folder, const HistoryStepHook& step) {
  std::lock_guard<std::mutex> lock(g_history_mutex);
  int steps = 0;
  auto tick = [&] {
    if (step) step(++steps);
  };
  recover(folder, {}, steps);

  const std::string staging = join_path(folder, kStaging);
  if (auto made = platform::create_directory(staging); !made.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "CreateDirectory() error! GetLastError=[%d] [%s]",
                 made.error(), staging.c_str());
    return rotate_in_place(folder);
  }
  tick();
  auto identity = platform::entry_identity(staging);
  if (!identity.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "Version file cannot be written! GetLastError=[%d] [%s]",
                 identity.error(), staging.c_str());
    remove_folder(staging);
    return false;
  }
  // New name and the file it copies. The tool's result must be there; the older records
  // join the new history only when they exist.
  struct Shift {
    const char* target;
    const char* source;
    bool required;
  };
  const Shift shifts[] = {{kCurrentVersion, kGetVersionResult, true},
                          {kPreviousVersion, kCurrentVersion, false},
                          {kBeforePreviousVersion, kPreviousVersion, false}};
  std::string manifest = identity_line(identity.value()) + "\n";
  for (const Shift& shift : shifts) {
    // The tool and earlier agents may have written a record under another case.
    const std::string source = platform::resolve_path(join_path(folder, shift.source));
    auto content = platform::read_regular_file(source, platform::kXmlFileMax);
    if (!content.ok()) {
      if (!shift.required) continue;
      QMA_LogError(__func__, kSrc, __LINE__, "Version file cannot be read! GetLastError=[%d] [%s]",
                   content.error(), source.c_str());
      remove_folder(staging);
      return false;
    }
    if (auto written =
            platform::write_file_atomic(join_path(staging, shift.target), content.value());
        !written.ok()) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Version file cannot be written! GetLastError=[%d] [%s]", written.error(),
                   join_path(staging, shift.target).c_str());
      remove_folder(staging);
      return false;
    }
    manifest += std::string(shift.target) + "\n";
    tick();
  }
  if (auto written = platform::write_file_atomic(join_path(staging, kManifest), manifest);
      !written.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "Version file cannot be written! GetLastError=[%d] [%s]",
                 written.error(), join_path(staging, kManifest).c_str());
    remove_folder(staging);
    return false;
  }
  tick();
  // The one rename that turns the old history into the new one.
  if (auto published = platform::move_file(staging, join_path(folder, kPublished));
      !published.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "MoveFile() error! GetLastError=[%d] [%s]",
                 published.error(), staging.c_str());
    remove_folder(staging);
    return false;
  }
  tick();
  commit(folder, step, steps);
  return true;
}

}  // namespace qma::commands
