// Turns a completion notice received by `qmactl listen` into lines for people.
#pragma once

#include <string>
#include <string_view>

namespace qma::qmactl {

/// What a status code of an answer or notice means, in a few words; empty for an unknown code.
std::string status_meaning(std::string_view status);

/// One received notice: a heading with its number and request line, then one line per
/// element (as the answers are printed), the status followed by its meaning. A body that is
/// not a well-formed message is printed as it came.
std::string readable_notice(long number, std::string_view request_line, std::string_view body);

}  // namespace qma::qmactl
