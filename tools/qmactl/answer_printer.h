// Turns an answer message into indented "name: value" lines for people.
#pragma once

#include <string>
#include <string_view>

namespace qma::qmactl {

/// One line per element: its name, its attributes as name=value and its text,
/// indented by depth below the message's data part. Text that is not a
/// well-formed answer is returned as it is.
std::string readable_answer(std::string_view xml);

/// The text of the first element of that name, or an empty text.
std::string element_text(std::string_view xml, std::string_view name);

}  // namespace qma::qmactl
