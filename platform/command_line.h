// Building a Windows-style command line that split_command_line takes apart again.
#pragma once

#include <string>
#include <string_view>

namespace qma::platform {

/// The argument in double quotes, escaped by the Windows rules so that it comes
/// back as one argument, unchanged: a quote becomes \", and backslashes that
/// precede a quote (or the closing quote) are doubled. An argument without
/// quotes and without trailing backslashes is only enclosed in quotes.
std::string quote_argument(std::string_view argument);

}  // namespace qma::platform
