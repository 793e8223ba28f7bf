// Completion notices as `qmactl listen` prints them.
#include "tools/qmactl/notice_printer.h"

#include "tools/qmactl/answer_printer.h"

namespace qma::qmactl {

std::string status_meaning(std::string_view status) {
  static const struct {
    std::string_view code;
    std::string_view meaning;
  } kMeanings[] = {
      {"600", "done"},
      {"601", "accepted, the completion follows by notice"},
      {"771", "declined by the tool: not installed"},
      {"772", "declined by the tool: would downgrade"},
      {"773", "declined by the tool: a dependency is missing"},
      {"774", "declined by the tool: already installed"},
      {"775", "declined by the tool: runs already"},
      {"900", "error in the agent"},
      {"901", "refused: a running action excludes it"},
      {"905", "did not finish in time"},
      {"906", "the tool's answer names no option"},
      {"907", "the tool's answer names another option"},
      {"908", "the tool has no progress to report"},
  };
  for (const auto& entry : kMeanings) {
    if (entry.code == status) return std::string(entry.meaning);
  }
  return {};
}

std::string readable_notice(long number, std::string_view request_line, std::string_view body) {
  std::string out = "== notice " + std::to_string(number) + ": " + std::string(request_line) + "\n";
  std::string lines = readable_answer(body);
  if (lines == body) return out + std::string(body) + "\n";
  // The status line gets its meaning.
  const std::string status = element_text(body, "Status");
  const std::string meaning = status_meaning(status);
  const std::string line = "Status: " + status + "\n";
  size_t at = lines.find(line);
  if (at != std::string::npos && !meaning.empty()) {
    lines.replace(at, line.size(), "Status: " + status + " (" + meaning + ")\n");
  }
  return out + lines;
}

}  // namespace qma::qmactl
