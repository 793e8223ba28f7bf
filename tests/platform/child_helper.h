// Verbs of the process tests' child program that only some systems have, registered by the
// file that implements them.
#pragma once

#include <map>
#include <string>

namespace qma::test {

/// A verb's work: argc and argv as main got them; the value is the exit code.
using ChildVerb = int (*)(int argc, char** argv);

/// The verbs registered besides the portable ones.
inline std::map<std::string, ChildVerb>& system_child_verbs() {
  static std::map<std::string, ChildVerb> verbs;
  return verbs;
}

/// Registers a verb before main runs (one object per verb at namespace scope).
struct ChildVerbRegistration {
  ChildVerbRegistration(const char* name, ChildVerb verb) { system_child_verbs()[name] = verb; }
};

/// Writes a file under a temporary name and renames it, so a reader never sees half of it.
bool write_file_whole(const std::string& path, const std::string& text);

}  // namespace qma::test
