// Parsing and writing the registry file's .reg text (portable: no OS calls).
#include "platform/registry_text.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/registry.h"

namespace qma::platform::regtext {

namespace {

constexpr std::string_view kVersionLine = "Windows Registry Editor Version 5.00";
constexpr std::string_view kVersionLine4 = "REGEDIT4";
// A sized string larger than this is taken for a damaged line, not a value.
constexpr size_t kMaxSizedString = 1u << 20;

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view trim(std::string_view s) {
  return trim_left(trim_right(s));
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// 1 to `max_digits` hex digits and nothing else.
bool parse_hex_number(std::string_view s, size_t max_digits, uint64_t& out) {
  if (s.empty() || s.size() > max_digits) return false;
  out = 0;
  for (char c : s) {
    int d = hex_digit(c);
    if (d < 0) return false;
    out = out * 16 + static_cast<uint64_t>(d);
  }
  return true;
}

bool parse_decimal(std::string_view s, size_t& out) {
  if (s.empty() || s.size() > 9) return false;
  out = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<size_t>(c - '0');
  }
  return true;
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

/// Reads a quoted text at the front of `s`; leaves `s` after the closing quote.
bool unquote(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\0') return false;
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      c = s[++i];
    }
    out.push_back(c);
  }
  return false;
}

/// "aa,bb,..." (possibly empty) into bytes.
bool parse_hex_list(std::string_view s, std::string& out) {
  out.clear();
  s = trim(s);
  if (s.empty()) return true;
  for (;;) {
    size_t comma = s.find(',');
    std::string_view token = trim(s.substr(0, comma));
    uint64_t byte = 0;
    if (!parse_hex_number(token, 2, byte)) return false;
    out.push_back(static_cast<char>(byte));
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

std::string hex_list(std::string_view data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : ",%02x", static_cast<unsigned char>(data[i]));
    out += buf;
  }
  return out;
}

/// A string value that can be written as quoted text: the text (no zero byte,
/// no line break) followed only by zero bytes. Gives the text's length.
bool quotable_string(std::string_view data, size_t& text_len) {
  size_t zero = data.find('\0');
  text_len = zero == std::string_view::npos ? data.size() : zero;
  for (size_t i = text_len; i < data.size(); ++i)
    if (data[i] != '\0') return false;
  std::string_view text = data.substr(0, text_len);
  return text.find_first_of("\r\n") == std::string_view::npos;
}

std::string key_header(std::string_view path) {
  std::string header = "[";
  header += kHkeyLocalMachine;
  if (!path.empty()) {
    header += '\\';
    header += path;
  }
  header += ']';
  return header;
}

/// The first `n` characters of a line, for a problem report.
std::string excerpt(std::string_view line) {
  constexpr size_t kMax = 60;
  std::string out(line.substr(0, kMax));
  if (line.size() > kMax) out += "...";
  return out;
}

void add_problem(Document& doc, size_t line_no, std::string_view what, std::string_view line) {
  doc.problems.push_back("line " + std::to_string(line_no) + ": " + std::string(what) + ": " +
                         excerpt(line));
}

bool is_prefix_path(std::string_view parent, std::string_view path) {
  // True when `path` is `parent` itself or lies below it.
  if (parent.empty()) return true;
  if (path.size() < parent.size() || !iequals(path.substr(0, parent.size()), parent)) return false;
  return path.size() == parent.size() || path[parent.size()] == '\\';
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

Entry* Section::find_value(std::string_view name) {
  for (auto& entry : entries)
    if (!entry.raw && iequals(entry.value.name, name)) return &entry;
  return nullptr;
}

namespace {

std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = fold(c);
  return out;
}

}  // namespace

Section* Document::find_key(std::string_view path) {
  auto found = index_.find(folded(path));
  return found == index_.end() ? nullptr : found->second;
}

Section& Document::ensure_key(std::string_view path, bool* created) {
  return ensure(path, false, created);
}

Section& Document::ensure_key_at_end(std::string_view path) {
  return ensure(path, true, nullptr);
}

Section& Document::ensure(std::string_view path, bool at_end, bool* created) {
  if (created != nullptr) *created = false;
  if (Section* found = find_key(path)) return *found;
  std::string stored;  // the path with the case of keys that already exist
  size_t start = 0;
  Section* section = nullptr;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string_view part =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::string parent = stored;
    if (!stored.empty()) stored += '\\';
    stored += part;
    section = find_key(stored);
    if (section != nullptr) {
      stored = section->path;
    } else {
      // A new key goes after the last key of its parent's subtree, so that
      // related keys stay together in the file; looked for from the end, where
      // it usually is.
      auto at = sections.end();
      if (!at_end && !parent.empty()) {
        for (auto it = sections.end(); it != sections.begin();) {
          --it;
          if (!it->foreign && is_prefix_path(parent, it->path)) {
            at = std::next(it);
            break;
          }
        }
      }
      Section fresh;
      fresh.path = stored;
      section = &*sections.insert(at, std::move(fresh));
      index_[folded(stored)] = section;
      if (created != nullptr && end == std::string_view::npos) *created = true;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return *section;
}

bool Document::remove_key(std::string_view path) {
  if (find_key(path) == nullptr) return false;
  for (auto it = sections.begin(); it != sections.end();) {
    if (!it->foreign && is_prefix_path(path, it->path)) {
      index_.erase(folded(it->path));
      it = sections.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

Section& Document::add_foreign(Section section) {
  section.foreign = true;
  sections.push_back(std::move(section));
  return sections.back();
}

bool split_key_path(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string_view part =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part.size() > kMaxKeyNameLength ||
        part.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
        parts.size() == kMaxKeyDepth)
      return false;
    parts.push_back(part);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string format_value(const RegistryValue& value) {
  std::string line = value.name.empty() ? std::string("@") : quote(value.name);
  line += '=';
  const std::string& data = value.data;
  size_t text_len = 0;
  if ((value.type == kRegSz || value.type == kRegExpandSz) && quotable_string(data, text_len)) {
    std::string_view text(data.data(), text_len);
    bool plain = data.size() == text_len + 1;
    if (value.type == kRegSz) {
      if (!plain) line += "sz(" + std::to_string(data.size()) + "):";
    } else {
      line += plain ? std::string("expand:") : "expand(" + std::to_string(data.size()) + "):";
    }
    line += quote(text);
    return line;
  }
  if (value.type == kRegDword && data.size() == 4) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
      v = (v << 8) | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    return line + buf;
  }
  if (value.type == kRegBinary) return line + "hex:" + hex_list(data);
  char buf[24];
  std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
  return line + buf + hex_list(data);
}

bool valid_value_name(std::string_view name) {
  return name.size() <= kMaxValueNameLength &&
         name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool parse_value(std::string_view line, RegistryValue& value) {
  std::string_view s = trim(line);
  RegistryValue out;
  if (!s.empty() && s.front() == '@') {
    s.remove_prefix(1);
  } else if (!unquote(s, out.name) || out.name.empty() || !valid_value_name(out.name)) {
    return false;
  }
  s = trim_left(s);
  if (s.empty() || s.front() != '=') return false;
  s = trim_left(s.substr(1));

  auto quoted_string = [&](uint32_t type, size_t size, bool sized) {
    std::string_view rest = s;
    std::string text;
    if (!unquote(rest, text) || !trim(rest).empty()) return false;
    if (!sized) size = text.size() + 1;
    if (size < text.size() || size > kMaxSizedString) return false;
    text.resize(size, '\0');
    out.type = type;
    out.data = std::move(text);
    return true;
  };
  auto sized_prefix = [&](std::string_view word, size_t& size) {
    // word "(N):" at the front of s
    if (!starts_with_nocase(s, word) || s.size() <= word.size() || s[word.size()] != '(')
      return false;
    size_t close = s.find(')', word.size());
    if (close == std::string_view::npos || close + 1 >= s.size() || s[close + 1] != ':')
      return false;
    if (!parse_decimal(s.substr(word.size() + 1, close - word.size() - 1), size)) return false;
    s.remove_prefix(close + 2);
    return true;
  };

  bool ok = false;
  size_t size = 0;
  if (!s.empty() && s.front() == '"') {
    ok = quoted_string(kRegSz, 0, false);
  } else if (starts_with_nocase(s, "expand:")) {
    s.remove_prefix(7);
    ok = quoted_string(kRegExpandSz, 0, false);
  } else if (sized_prefix("expand", size)) {
    ok = quoted_string(kRegExpandSz, size, true);
  } else if (sized_prefix("sz", size)) {
    ok = quoted_string(kRegSz, size, true);
  } else if (starts_with_nocase(s, "dword:")) {
    uint64_t v = 0;
    if (parse_hex_number(trim(s.substr(6)), 8, v)) {
      out.type = kRegDword;
      out.data.resize(4);
      for (size_t i = 0; i < 4; ++i) out.data[i] = static_cast<char>((v >> (8 * i)) & 0xff);
      ok = true;
    }
  } else if (starts_with_nocase(s, "hex:")) {
    out.type = kRegBinary;
    ok = parse_hex_list(s.substr(4), out.data);
  } else if (starts_with_nocase(s, "hex(")) {
    size_t close = s.find(')');
    uint64_t type = 0;
    if (close != std::string_view::npos && close + 1 < s.size() && s[close + 1] == ':' &&
        parse_hex_number(s.substr(4, close - 4), 8, type)) {
      out.type = static_cast<uint32_t>(type);
      ok = parse_hex_list(s.substr(close + 2), out.data);
    }
  }
  if (ok) value = std::move(out);
  return ok;
}

Document parse(std::string_view text) {
  Document doc;
  // Physical lines, without their line break (a CR before it is dropped too).
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }

  Section* current = nullptr;  // null: before the first key
  bool seen_content = false;
  // Each key's value names so far (folded) and where they stand in its entries.
  std::unordered_map<const Section*, std::unordered_map<std::string, size_t>> value_names;
  auto keep_raw = [&](std::string raw) {
    Entry entry;
    entry.raw = true;
    entry.text = std::move(raw);
    if (current != nullptr)
      current->entries.push_back(std::move(entry));
    else
      doc.preamble.push_back(std::move(entry.text));
  };

  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t line_no = i + 1;
    std::string_view line = lines[i];
    if (i == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);  // byte order mark
    std::string_view body = trim(line);
    if (body.empty()) continue;
    if (!seen_content && (body == kVersionLine || body == kVersionLine4)) {
      seen_content = true;
      continue;
    }
    seen_content = true;

    if (body.front() == ';') {
      keep_raw(std::string(lines[i]));
      continue;
    }

    if (body.front() == '[') {
      std::string_view inner;
      if (body.back() == ']') inner = body.substr(1, body.size() - 2);
      std::vector<std::string_view> parts;
      bool hklm =
          starts_with_nocase(inner, kHkeyLocalMachine) &&
          (inner.size() == kHkeyLocalMachine.size() || inner[kHkeyLocalMachine.size()] == '\\');
      std::string_view sub = inner.size() > kHkeyLocalMachine.size()
                                 ? inner.substr(kHkeyLocalMachine.size() + 1)
                                 : std::string_view();
      if (hklm && split_key_path(sub, parts)) {
        // A key met again gathers its later lines into its first section.
        current = &doc.ensure_key_at_end(sub);
        continue;
      }
      add_problem(doc, line_no,
                  hklm ? "unreadable key" : "key outside HKEY_LOCAL_MACHINE, kept but not used",
                  line);
      Section foreign;
      foreign.header = std::string(lines[i]);
      current = &doc.add_foreign(std::move(foreign));
      continue;
    }

    if (body.front() == '"' || body.front() == '@') {
      // Hex lists may run on over following lines that end in '\'.
      std::string joined(trim_right(line));
      std::string raw(lines[i]);
      while (!joined.empty() && joined.back() == '\\' && joined.find("=hex") != std::string::npos &&
             i + 1 < lines.size()) {
        joined.pop_back();
        joined += trim(lines[++i]);
        raw += '\n';
        raw += lines[i];
      }
      if (current != nullptr && current->foreign) {
        keep_raw(std::move(raw));
        continue;
      }
      RegistryValue value;
      if (current == nullptr || !parse_value(joined, value)) {
        add_problem(doc, line_no, current == nullptr ? "value outside any key" : "unreadable value",
                    joined);
        keep_raw(std::move(raw));
        continue;
      }
      auto& names = value_names[current];
      auto [named, fresh] = names.try_emplace(folded(value.name), current->entries.size());
      if (!fresh) {
        add_problem(doc, line_no, "value named twice, the later one is used", joined);
        Entry& existing = current->entries[named->second];
        existing.value.type = value.type;
        existing.value.data = std::move(value.data);
        continue;
      }
      Entry entry;
      entry.value = std::move(value);
      current->entries.push_back(std::move(entry));
      continue;
    }

    add_problem(doc, line_no, "unreadable line", line);
    keep_raw(std::string(lines[i]));
  }
  return doc;
}

std::string format(const Document& document) {
  std::string out(kVersionLine);
  out += "\n\n";
  for (const auto& line : document.preamble) out += line + "\n";
  if (!document.preamble.empty()) out += '\n';
  for (const auto& section : document.sections) {
    out += section.foreign ? section.header : key_header(section.path);
    out += '\n';
    for (const auto& entry : section.entries) {
      out += entry.raw ? entry.text : format_value(entry.value);
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

}  // namespace qma::platform::regtext

namespace qma::platform {

std::string reg_type_name(uint32_t type) {
  switch (type) {
    case kRegNone:
      return "REG_NONE";
    case kRegSz:
      return "REG_SZ";
    case kRegExpandSz:
      return "REG_EXPAND_SZ";
    case kRegBinary:
      return "REG_BINARY";
    case kRegDword:
      return "REG_DWORD";
    case 5:
      return "REG_DWORD_BIG_ENDIAN";
    case 6:
      return "REG_LINK";
    case kRegMultiSz:
      return "REG_MULTI_SZ";
    case kRegQword:
      return "REG_QWORD";
    default:
      return "REG_0x" + [type] {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%x", type);
        return std::string(buf);
      }();
  }
}

}  // namespace qma::platform
