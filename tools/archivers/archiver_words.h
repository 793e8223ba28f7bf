// The command-line words of the archivers, split into options and operands.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace qma::archivers {

struct ArchiverWords {
  std::vector<std::string> options;   ///< "-x", "-o", ... in the order given
  std::vector<std::string> operands;  ///< archive and file names

  /// "-o" was given: what exists is replaced (the files unpacked, or the archive made).
  bool overwrite() const {
    return std::find(options.begin(), options.end(), "-o") != options.end();
  }
  /// Every option is "-o" or one of `also`.
  bool only_options(std::initializer_list<std::string_view> also) const {
    return std::all_of(options.begin(), options.end(), [&](const std::string& option) {
      return option == "-o" || std::find(also.begin(), also.end(), option) != also.end();
    });
  }
};

/// The zip control tool starts an archiver with the option string alone as its
/// command line, so the first word is then an option, not the program's name:
/// a first word that starts with '-' is taken as an option. Options end at the
/// first operand or at "--".
inline ArchiverWords archiver_words(int argc, char** argv) {
  ArchiverWords words;
  int first = argc > 0 && argv[0][0] == '-' ? 0 : 1;
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (!options_done && word == "--") {
      options_done = true;
    } else if (!options_done && word.size() > 1 && word[0] == '-') {
      words.options.push_back(word);
    } else {
      options_done = true;
      words.operands.push_back(word);
    }
  }
  return words;
}

}  // namespace qma::archivers
