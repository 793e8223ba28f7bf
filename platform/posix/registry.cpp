// The registry store of Linux hosts: the .reg text file in the state folder, read afresh on
// every call.
//
// Readers need no lock: the file is only ever replaced whole (temporary file,
// flush, rename), so a reader sees the old or the new file, never half of one.
// Writers serialise on an exclusive lock of a separate lock file, re-read the
// file under it, apply their one change and replace the file.
#include "platform/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/registry_text.h"

namespace qma::platform {

namespace {

thread_local std::string t_problem;

void note_problems(const regtext::Document& doc) {
  // A few lines tell the administrator where to look; a file of garbage must
  // not turn into a log line of the same size.
  constexpr size_t kShown = 3;
  t_problem.clear();
  for (size_t i = 0; i < doc.problems.size() && i < kShown; ++i) {
    if (!t_problem.empty()) t_problem += "; ";
    t_problem += doc.problems[i];
  }
  if (doc.problems.size() > kShown)
    t_problem += "; and " + std::to_string(doc.problems.size() - kShown) + " more";
}

/// Reads and parses the registry file; a missing file is an empty registry.
int load(regtext::Document& doc) {
  auto text = read_file(registry_file_path());
  if (!text.ok()) {
    if (text.error() == ENOENT) {
      doc = regtext::Document();
      t_problem.clear();
      return 0;
    }
    t_problem = "cannot read " + registry_file_path() + ": " + std::strerror(text.error());
    return kErrorRegistryIoFailed;
  }
  doc = regtext::parse(*text);
  // Every write leaves at least the version line, so an empty file was damaged
  // outside the agent; it reads as an empty registry.
  if (text->find_first_not_of(" \t\r\n") == std::string::npos)
    doc.problems.emplace_back("the file is empty");
  note_problems(doc);
  return 0;
}

/// Removes the temporary files of writers that were killed before their rename.
/// Only a holder of the writers' lock makes one, so under the lock every one
/// that exists is stale.
void remove_stale_temporaries(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  std::string pattern = std::filesystem::path(path).filename().string() + ".tmp??????";
  auto entries = list_directory(folder, pattern);
  if (!entries.ok()) return;
  for (const auto& entry : *entries) {
    if (entry.attributes == kAttrNormal || entry.attributes == kAttrReadOnly) {
      (void)delete_file(join_path(folder, entry.name));
    }
  }
}

/// Runs one change under the writers' lock. The change returns a Windows code
/// and sets `changed` when the file must be rewritten.
int modify(const std::function<int(regtext::Document&, bool& changed)>& change) {
  const std::string path = registry_file_path();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  auto lock = FileLock::acquire(path + ".lock");
  if (!lock.ok()) {
    t_problem = "cannot lock " + path + ".lock: " + std::strerror(lock.error());
    return kErrorRegistryIoFailed;
  }
  remove_stale_temporaries(path);
  regtext::Document doc;
  if (int rc = load(doc); rc != 0) return rc;
  bool changed = false;
  int rc = change(doc, changed);
  if (rc != 0 || !changed) return rc;
  if (!write_file_atomic(path, regtext::format(doc)).ok()) {
    t_problem = "cannot write " + path + ": " + std::strerror(last_error());
    return kErrorRegistryIoFailed;
  }
  return 0;
}

int check_path(std::string_view sub_key, std::string& normal) {
  // A trailing separator is tolerated, as the Windows calls do.
  while (!sub_key.empty() && sub_key.back() == '\\') sub_key.remove_suffix(1);
  std::vector<std::string_view> parts;
  if (!regtext::split_key_path(sub_key, parts)) return kErrorBadPathname;
  normal = std::string(sub_key);
  return 0;
}

}  // namespace

std::string registry_file_path() {
  std::string dir = state_dir();
  if (dir.empty() || dir.back() != kPathSeparator) dir += kPathSeparator;
  return dir + "registry.reg";
}

std::string registry_file_problem() {
  return t_problem;
}

int reg_create_key(std::string_view sub_key, RegistryKey& key, bool* created) {
  std::string path;
  if (int rc = check_path(sub_key, path); rc != 0) return rc;
  bool was_created = false;
  // Most calls open a key that exists; they need neither the lock nor a write.
  regtext::Document existing;
  if (load(existing) == 0) {
    if (path.empty()) {
      key.path.clear();
      if (created != nullptr) *created = false;
      return 0;
    }
    if (regtext::Section* section = existing.find_key(path)) {
      key.path = section->path;
      if (created != nullptr) *created = false;
      return 0;
    }
  }
  int rc = modify([&](regtext::Document& doc, bool& changed) {
    if (path.empty()) {  // the hive always exists
      key.path.clear();
      return 0;
    }
    regtext::Section& section = doc.ensure_key(path, &was_created);
    key.path = section.path;
    changed = was_created;
    return 0;
  });
  if (created != nullptr) *created = rc == 0 && was_created;
  return rc;
}

int reg_open_key(std::string_view sub_key, RegistryKey& key) {
  std::string path;
  if (int rc = check_path(sub_key, path); rc != 0) return rc;
  regtext::Document doc;
  if (int rc = load(doc); rc != 0) return rc;
  if (path.empty()) {
    key.path.clear();
    return 0;
  }
  regtext::Section* section = doc.find_key(path);
  if (section == nullptr) return kErrorFileNotFound;
  key.path = section->path;
  return 0;
}

int reg_get_value(const RegistryKey& key, std::string_view name, RegistryValue& value) {
  regtext::Document doc;
  if (int rc = load(doc); rc != 0) return rc;
  regtext::Section* section = doc.find_key(key.path);
  if (section == nullptr) return key.path.empty() ? kErrorFileNotFound : kErrorKeyDeleted;
  regtext::Entry* entry = section->find_value(name);
  if (entry == nullptr) return kErrorFileNotFound;
  value = entry->value;
  return 0;
}

int reg_query_value(const RegistryKey& key, std::string_view name, uint32_t* type, void* data,
                    uint32_t* size) {
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  RegistryValue value;
  if (int rc = reg_get_value(key, name, value); rc != 0) return rc;
  if (type != nullptr) *type = value.type;
  const auto needed = static_cast<uint32_t>(value.data.size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    std::memcpy(data, value.data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return 0;
}

int reg_set_value(const RegistryKey& key, std::string_view name, uint32_t type, const void* data,
                  uint32_t size) {
  if (!regtext::valid_value_name(name) || (data == nullptr && size != 0)) {
    return kErrorInvalidParameter;
  }
  std::string bytes(static_cast<const char*>(data), size);
  return modify([&](regtext::Document& doc, bool& changed) {
    regtext::Section* section = doc.find_key(key.path);
    if (section == nullptr) {
      if (!key.path.empty()) return kErrorKeyDeleted;
      section = &doc.ensure_key("");
    }
    if (regtext::Entry* entry = section->find_value(name)) {
      entry->value.type = type;
      entry->value.data = std::move(bytes);
    } else {
      regtext::Entry fresh;
      fresh.value.name = std::string(name);
      fresh.value.type = type;
      fresh.value.data = std::move(bytes);
      section->entries.push_back(std::move(fresh));
    }
    changed = true;
    return 0;
  });
}

int reg_delete_value(const RegistryKey& key, std::string_view name) {
  return modify([&](regtext::Document& doc, bool& changed) {
    regtext::Section* section = doc.find_key(key.path);
    if (section == nullptr) return key.path.empty() ? kErrorFileNotFound : kErrorKeyDeleted;
    for (auto it = section->entries.begin(); it != section->entries.end(); ++it) {
      if (!it->raw && regtext::iequals(it->value.name, name)) {
        section->entries.erase(it);
        changed = true;
        return 0;
      }
    }
    return kErrorFileNotFound;
  });
}

int reg_delete_key(std::string_view sub_key) {
  std::string path;
  if (int rc = check_path(sub_key, path); rc != 0) return rc;
  if (path.empty()) return kErrorAccessDenied;
  return modify([&](regtext::Document& doc, bool& changed) {
    if (!doc.remove_key(path)) return kErrorFileNotFound;
    changed = true;
    return 0;
  });
}

int reg_enum_values(const RegistryKey& key, std::vector<RegistryValue>& values) {
  values.clear();
  regtext::Document doc;
  if (int rc = load(doc); rc != 0) return rc;
  regtext::Section* section = doc.find_key(key.path);
  if (section == nullptr) return key.path.empty() ? 0 : kErrorKeyDeleted;
  for (const auto& entry : section->entries)
    if (!entry.raw) values.push_back(entry.value);
  return 0;
}

int reg_enum_subkeys(const RegistryKey& key, std::vector<std::string>& names) {
  names.clear();
  regtext::Document doc;
  if (int rc = load(doc); rc != 0) return rc;
  if (!key.path.empty() && doc.find_key(key.path) == nullptr) return kErrorKeyDeleted;
  for (const auto& section : doc.sections) {
    if (section.foreign || section.path.empty()) continue;
    std::string_view path = section.path;
    size_t last = path.rfind('\\');
    std::string_view parent =
        last == std::string_view::npos ? std::string_view() : path.substr(0, last);
    if (regtext::iequals(parent, key.path))
      names.emplace_back(path.substr(last == std::string_view::npos ? 0 : last + 1));
  }
  return 0;
}

}  // namespace qma::platform
