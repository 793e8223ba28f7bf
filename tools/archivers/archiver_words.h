// The command-line words of the archivers, split into options and operands.
#pragma once

#include <string>
#include <vector>

namespace qma::archivers {

struct ArchiverWords {
  std::vector<std::string> options;   ///< "-x", "-o", ... in the order given
  std::vector<std::string> operands;  ///< archive and file names
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
