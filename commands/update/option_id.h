// The "#{id}" placeholder of an update tool's command line and the option id put in its place.
#pragma once

#include <string>
#include <string_view>

namespace qma::commands {

/// Outcome of replacing "#{id}" in a command line.
enum class OptionSubstitution {
  kDone,  // at least one placeholder replaced
  kNoPlaceholder,
  kUnsafe,  // the id would change the program name or could not be kept literal
};

/// Replaces every "#{id}" of command_line by option_id, left to right, into out. The program
/// name (the text before the first blank) takes the id only when it holds no blank, quote,
/// tab or path separator. In the parameters the id is quoted and escaped by the Windows
/// command-line rules where needed, so the tool receives exactly its text as (part of) one
/// argument, whatever blanks, quotes, backslashes or shell characters it holds.
OptionSubstitution substitute_option_id(std::string_view command_line, std::string_view option_id,
                                        std::string& out);

}  // namespace qma::commands
