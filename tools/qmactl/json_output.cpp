// Converts the agent's messages to JSON: a small reader for the element tree (the agent
// writes one line of tags with attributes and no escaping) and a generic conversion, so
// any answer or notice comes out without knowing its layout.
#include "tools/qmactl/json_output.h"

#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace qma::qmactl {

namespace {

using Json = nlohmann::ordered_json;

/// Elements that are tables: an array even with a single row.
constexpr std::string_view kTableElements[] = {"Module", "option"};
/// Elements and attributes whose values are counters or codes.
constexpr std::string_view kNumberNames[] = {"Status", "CommandCode", "ModuleStatus", "Progress",
                                             "major",  "minor",       "sp_major",     "sp_minor",
                                             "refid",  "product_type"};
/// Deeper nesting than this is no message of the agent's.
constexpr size_t kMaxDepth = 64;

struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;
  std::vector<Element> children;
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool only_space(std::string_view text) {
  for (char c : text) {
    if (!is_space(c)) return false;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::string_view xml) : xml_(xml) {}

  /// The root element, or nothing when the text is not one well-formed element.
  std::optional<Element> read() {
    skip_prologue();
    Element root;
    if (!element(root, 0)) return std::nullopt;
    skip_space();
    if (pos_ != xml_.size()) return std::nullopt;
    return root;
  }

 private:
  void skip_space() {
    while (pos_ < xml_.size() && is_space(xml_[pos_])) ++pos_;
  }

  /// Skips "<?...?>" and "<!--...-->" (and white space) before the root.
  void skip_prologue() {
    for (;;) {
      skip_space();
      std::string_view rest = xml_.substr(pos_);
      size_t end = std::string_view::npos;
      if (rest.substr(0, 2) == "<?") {
        end = rest.find("?>");
        if (end != std::string_view::npos) end += 2;
      } else if (rest.substr(0, 4) == "<!--") {
        end = rest.find("-->");
        if (end != std::string_view::npos) end += 3;
      }
      if (end == std::string_view::npos) return;
      pos_ += end;
    }
  }

  std::string name() {
    size_t start = pos_;
    while (pos_ < xml_.size() && !is_space(xml_[pos_]) && xml_[pos_] != '>' && xml_[pos_] != '/' &&
           xml_[pos_] != '=' && xml_[pos_] != '<') {
      ++pos_;
    }
    return std::string(xml_.substr(start, pos_ - start));
  }

  /// Reads the element starting at pos_ (on '<').
  bool element(Element& out, size_t depth) {
    if (depth > kMaxDepth || pos_ >= xml_.size() || xml_[pos_] != '<') return false;
    ++pos_;
    out.name = name();
    if (out.name.empty()) return false;
    for (;;) {
      skip_space();
      if (pos_ >= xml_.size()) return false;
      if (xml_.substr(pos_, 2) == "/>") {
        pos_ += 2;
        return true;
      }
      if (xml_[pos_] == '>') {
        ++pos_;
        break;
      }
      std::string attribute = name();
      skip_space();
      if (attribute.empty() || pos_ >= xml_.size() || xml_[pos_] != '=') return false;
      ++pos_;
      skip_space();
      if (pos_ >= xml_.size() || (xml_[pos_] != '"' && xml_[pos_] != '\'')) return false;
      char quote = xml_[pos_++];
      size_t end = xml_.find(quote, pos_);
      if (end == std::string_view::npos) return false;
      out.attributes.emplace_back(attribute, std::string(xml_.substr(pos_, end - pos_)));
      pos_ = end + 1;
    }
    // Content: text and child elements up to the matching end tag.
    for (;;) {
      size_t next = xml_.find('<', pos_);
      if (next == std::string_view::npos) return false;
      out.text += std::string(xml_.substr(pos_, next - pos_));
      pos_ = next;
      if (xml_.substr(pos_, 2) == "</") {
        pos_ += 2;
        if (name() != out.name) return false;
        skip_space();
        if (pos_ >= xml_.size() || xml_[pos_] != '>') return false;
        ++pos_;
        // Layout white space between child elements is no value.
        if (!out.children.empty() && only_space(out.text)) out.text.clear();
        return true;
      }
      out.children.emplace_back();
      if (!element(out.children.back(), depth + 1)) return false;
    }
  }

  std::string_view xml_;
  size_t pos_ = 0;
};

bool listed(std::string_view name, const std::string_view* begin, const std::string_view* end) {
  for (const auto* it = begin; it != end; ++it) {
    if (*it == name) return true;
  }
  return false;
}

/// A counter or code as a number (null when empty); any other value as its text.
Json value_of(std::string_view name, const std::string& text) {
  if (!listed(name, std::begin(kNumberNames), std::end(kNumberNames))) return text;
  if (text.empty()) return nullptr;
  size_t digits = text[0] == '-' ? 1 : 0;
  if (digits == text.size() || text.size() - digits > 18) return text;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return text;
  }
  return std::strtoll(text.c_str(), nullptr, 10);
}

/// Adds a member; a second one of the same name turns it into an array.
void add_member(Json& object, const std::string& name, Json value, bool table) {
  auto found = object.find(name);
  if (found == object.end()) {
    if (table) {
      object[name] = Json::array({std::move(value)});
    } else {
      object[name] = std::move(value);
    }
    return;
  }
  if (!found->is_array()) *found = Json::array({*found});
  found->push_back(std::move(value));
}

Json convert(const Element& element) {
  if (element.attributes.empty() && element.children.empty())
    return value_of(element.name, element.text);
  Json object = Json::object();
  for (const auto& [name, value] : element.attributes)
    add_member(object, name, value_of(name, value), false);
  for (const auto& child : element.children) {
    bool table = listed(child.name, std::begin(kTableElements), std::end(kTableElements));
    add_member(object, child.name, convert(child), table);
  }
  if (!element.text.empty())
    add_member(object, "text", value_of(element.name, element.text), false);
  return object;
}

Json message_object(std::string_view xml) {
  auto root = Reader(xml).read();
  if (!root) return Json{{"RawMessage", std::string(xml)}};
  Json object = convert(*root);
  if (!object.is_object()) object = Json{{root->name, std::move(object)}};
  return object;
}

std::string line(const Json& object) {
  // Bytes that are not UTF-8 (a tool's message in another code page) become U+FFFD.
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string json_answer(std::string_view xml, std::string_view attached_file) {
  Json object = message_object(xml);
  if (!attached_file.empty()) object["AttachedFile"] = std::string(attached_file);
  return line(object);
}

std::string json_notice(std::string_view request_line, std::string_view xml) {
  Json object = message_object(xml);
  size_t start = request_line.find(' ');
  start = start == std::string_view::npos ? request_line.size() : start + 1;
  size_t end = request_line.find(' ', start);
  object["NoticePath"] =
      std::string(request_line.substr(start, end == std::string_view::npos ? end : end - start));
  return line(object);
}

std::string json_listening(unsigned port) {
  return line(Json{{"ListeningPort", port}});
}

}  // namespace qma::qmactl
