// The plain-name rule for names a request carries (portable: no OS calls).
#include <string_view>

#include "platform/file.h"

namespace qma::platform {

bool is_plain_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  // The backslash is a separator where the agent's paths come from, so it is
  // refused here as well, whatever this system makes of it.
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace qma::platform
