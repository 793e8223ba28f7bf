// The get-version answer as a table: columns sized to their widest cell, counted in screen
// columns so that Japanese names and messages line up.
#include "tools/qmactl/version_table.h"

#include <algorithm>
#include <array>

#include "tools/qmactl/answer_printer.h"

namespace qma::qmactl {

namespace {

// Text of the first <name> or <name lang="lang"> element in `xml` (the answer is written
// without escaping, so the text runs to the next '<').
std::string text_of(std::string_view xml, std::string_view name, std::string_view lang = {}) {
  std::string open =
      "<" + std::string(name) + (lang.empty() ? ">" : " lang=\"" + std::string(lang) + "\">");
  size_t start = xml.find(open);
  if (start == std::string_view::npos) return {};
  start += open.size();
  size_t end = xml.find('<', start);
  return std::string(xml.substr(start, end == std::string_view::npos ? end : end - start));
}

// The element bodies between each <open...> and the matching </name>, in order.
std::vector<std::string_view> bodies(std::string_view xml, std::string_view open,
                                     std::string_view name) {
  std::vector<std::string_view> out;
  std::string close = "</" + std::string(name) + ">";
  for (size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at)) {
    size_t end = xml.find(close, at);
    if (end == std::string_view::npos) break;
    out.push_back(xml.substr(at, end - at));
    at = end + close.size();
  }
  return out;
}

void fill_versions(std::string_view xml, VersionRow& row) {
  row.status = text_of(xml, "ModuleStatus");
  row.compare = text_of(xml, "Compare");
  row.current = text_of(xml, "CurrentVersion");
  row.previous = text_of(xml, "ExVersion");
  row.before_previous = text_of(xml, "ExExVersion");
}

// Screen columns of UTF-8 text: East Asian wide characters take two.
size_t width(std::string_view text) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t length = byte < 0x80 ? 1 : byte >> 5 == 0x6 ? 2 : byte >> 4 == 0xE ? 3 : 4;
    unsigned code = length == 1 ? byte : byte & (0x7F >> length);
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                (code >= 0xFFE0 && code <= 0xFFE6);
    columns += wide ? 2 : 1;
    i += length;
  }
  return columns;
}

std::string previous_versions(const VersionRow& row) {
  if (row.previous.empty()) return row.before_previous.empty() ? "-" : "-, " + row.before_previous;
  return row.before_previous.empty() ? row.previous : row.previous + ", " + row.before_previous;
}

std::string status_cell(const VersionRow& row) {
  std::string_view meaning = module_status_meaning(row.status);
  return meaning.empty() ? row.status : row.status + " " + std::string(meaning);
}

constexpr size_t kColumns = 6;
using Line = std::array<std::string, kColumns>;

}  // namespace

std::string_view module_status_meaning(std::string_view status) {
  static constexpr std::array<std::string_view, 7> kMeanings = {
      "(ok)",   "(reboot needed)", "(update failed)",  "(no device)",
      "(busy)", "(not installed)", "(version unknown)"};
  if (status.size() == 1 && status[0] >= '0' && status[0] <= '6') {
    return kMeanings[static_cast<size_t>(status[0] - '0')];
  }
  return {};
}

std::vector<VersionRow> version_rows(std::string_view answer) {
  std::vector<VersionRow> rows;
  for (std::string_view module : bodies(answer, "<Module>", "Module")) {
    // The module's own fields come before its option extension.
    size_t extension = module.find("<extension>");
    std::string_view own = module.substr(0, extension);
    VersionRow row;
    row.id = text_of(own, "ModuleID");
    row.name_ja = text_of(own, "module_name", "ja");
    row.name_en = text_of(own, "module_name", "en");
    row.package = text_of(own, "PackageID");
    row.message_ja = text_of(own, "ToolOutputLog", "ja");
    row.message_en = text_of(own, "ToolOutputLog", "en");
    fill_versions(own, row);
    if (extension != std::string_view::npos) {
      for (std::string_view option : bodies(module.substr(extension), "<option id=\"", "option")) {
        VersionRow sub;
        size_t quote = option.find('"', 12);
        sub.id = std::string(option.substr(12, quote == std::string_view::npos ? 0 : quote - 12));
        fill_versions(option, sub);
        row.options.push_back(std::move(sub));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string versions_table(std::string_view answer) {
  std::string out;
  for (const char* name : {"InReplyTo", "CommandCode", "Status", "AgentStatus", "AgentVersion",
                           "HostName", "OSName"}) {
    out += std::string(name) + ": " + element_text(answer, name) + "\n";
  }
  std::vector<VersionRow> rows = version_rows(answer);
  if (rows.empty()) return out + "(no modules)\n";

  std::vector<Line> lines;
  lines.push_back({"MODULE", "NAME", "VERSION", "PREVIOUS", "STATUS", "MESSAGES"});
  for (const VersionRow& row : rows) {
    lines.push_back({row.id, row.name_en.empty() ? row.name_ja : row.name_en,
                     row.current.empty() ? "-" : row.current, previous_versions(row),
                     status_cell(row), row.message_en});
    if (!row.message_ja.empty() && row.message_ja != row.message_en) {
      lines.push_back({"", "", "", "", "", row.message_ja});
    }
    for (const VersionRow& option : row.options) {
      lines.push_back({"", "  option " + option.id, option.current.empty() ? "-" : option.current,
                       previous_versions(option), status_cell(option), ""});
    }
  }
  std::array<size_t, kColumns> widths{};
  for (const Line& line : lines) {
    for (size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], width(line[c]));
  }
  out += "\n";
  for (const Line& line : lines) {
    std::string text;
    for (size_t c = 0; c < kColumns; ++c) {
      text += line[c];
      if (c + 1 < kColumns) text += std::string(widths[c] - width(line[c]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  }
  return out;
}

}  // namespace qma::qmactl
