// A small reader for the agent's answer messages: they are one line of start and
// end tags with attributes, written without escaping.
#include "tools/qmactl/answer_printer.h"

#include <vector>

namespace qma::qmactl {

namespace {

struct Tag {
  bool closing = false;
  std::string name;
  std::string attributes;  // " a=\"b\" c=\"d\"" as written
};

// Reads the tag that starts at pos (on '<'); false when the text ends first.
bool read_tag(std::string_view xml, size_t& pos, Tag& tag) {
  size_t end = xml.find('>', pos);
  if (end == std::string_view::npos) return false;
  std::string_view inner = xml.substr(pos + 1, end - pos - 1);
  pos = end + 1;
  tag = {};
  if (!inner.empty() && inner.front() == '/') {
    tag.closing = true;
    inner.remove_prefix(1);
  }
  size_t space = inner.find(' ');
  tag.name = std::string(inner.substr(0, space));
  if (space != std::string_view::npos) tag.attributes = std::string(inner.substr(space));
  return !tag.name.empty();
}

std::string attributes_text(const std::string& raw) {
  std::string out;
  bool in_value = false;
  for (char c : raw) {
    if (c == '"') {
      in_value = !in_value;
      continue;
    }
    if (c == ' ' && !in_value) {
      if (!out.empty()) out += ' ';
      continue;
    }
    out += c;
  }
  return out;
}

// Ends a line, without the blank an element without text leaves behind.
void flush(std::string& out, std::string& line) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  out += line + "\n";
}

}  // namespace

std::string readable_answer(std::string_view xml) {
  std::string out;
  std::vector<std::string> open;
  size_t pos = 0;
  std::string pending_line;  // an element printed once its text is known
  bool pending = false;
  while (pos < xml.size()) {
    if (xml[pos] != '<') {
      size_t next = xml.find('<', pos);
      if (next == std::string_view::npos) return std::string(xml);
      if (pending) pending_line += std::string(xml.substr(pos, next - pos));
      pos = next;
      continue;
    }
    Tag tag;
    if (!read_tag(xml, pos, tag)) return std::string(xml);
    if (tag.closing) {
      if (open.empty() || open.back() != tag.name) return std::string(xml);
      open.pop_back();
      if (pending) {
        flush(out, pending_line);
        pending = false;
      }
      continue;
    }
    if (pending) {
      flush(out, pending_line);
      pending = false;
    }
    open.push_back(tag.name);
    if (tag.name == "QMAMessage" || tag.name == "QMAData") continue;
    size_t depth = 0;
    for (const std::string& name : open) {
      if (name != "QMAMessage" && name != "QMAData") ++depth;
    }
    pending_line = std::string(2 * (depth - 1), ' ') + tag.name + ":";
    std::string attributes = attributes_text(tag.attributes);
    if (!attributes.empty()) pending_line += " [" + attributes + "]";
    pending_line += " ";
    pending = true;
  }
  if (!open.empty()) return std::string(xml);
  return out;
}

std::string element_text(std::string_view xml, std::string_view name) {
  std::string open = "<" + std::string(name) + ">";
  size_t start = xml.find(open);
  if (start == std::string_view::npos) return {};
  start += open.size();
  size_t end = xml.find('<', start);
  return std::string(xml.substr(start, end == std::string_view::npos ? end : end - start));
}

}  // namespace qma::qmactl
