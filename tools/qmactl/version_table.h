// The module table of a get-version answer, for people: one row per module and option.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qma::qmactl {

/// One module (or one option of a module) as the answer reports it.
struct VersionRow {
  std::string id;  // module id, or option id for an option row
  std::string name_ja, name_en;
  std::string status;
  std::string current, previous, before_previous;
  std::string package, compare;
  std::string message_ja, message_en;
  std::vector<VersionRow> options;
};

/// The modules of a get-version answer, in answer order.
std::vector<VersionRow> version_rows(std::string_view answer);

/// The answer's reply, status and agent lines, then a table with the columns MODULE, NAME, VERSION,
/// PREVIOUS (the two earlier versions), STATUS (number and meaning) and MESSAGES (English,
/// with the Japanese text on the line below), option rows indented under their module.
std::string versions_table(std::string_view answer);

/// The meaning of a module status number.
std::string_view module_status_meaning(std::string_view status);

}  // namespace qma::qmactl
