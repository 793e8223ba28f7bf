// The element matchers: one forward scan of a streaming reader over a path of element names.
#include "xmlsub/xml_matchers.h"

#include <libxml/parser.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace qma::xmlsub {
namespace {

// Errors and warnings stay out of stderr (a failed read is the caller's answer), and nothing
// ever reaches the network. Entities are not substituted and no DTD is loaded.
constexpr int kReaderOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

const char* as_text(const xmlChar* text) {
  return reinterpret_cast<const char*>(text);
}

// Final test of QMA_xml_GetElementReader and QMA_xml_GetElementValue.
bool passes_attribute_test(xmlTextReaderPtr reader, const char* attr, const char* value) {
  if (attr == nullptr) return true;
  AttributeText found(reader, attr);
  return found.get() != nullptr &&
         equals_cut(found.get(), value == nullptr ? "" : value, kAttributeCompareMax);
}

// The common scan. Reads forward until the path's last level matches an element that passes
// `final_test`. The level never goes back up: once a level matched, later nodes are tried only
// against the deeper one, whatever parent they lie under.
template <typename FinalTest>
int scan(xmlTextReaderPtr reader, const char* const* path, int level, bool stop_when_shallower,
         FinalTest&& final_test) {
  const int base = xmlTextReaderDepth(reader);
  while (path_entry(path, level) != nullptr) {
    if (xmlTextReaderRead(reader) != 1) return 0;
    const int depth = xmlTextReaderDepth(reader);
    if (stop_when_shallower && depth < base) return 0;
    if (xmlTextReaderNodeType(reader) != kNodeElement || depth != base + level) continue;
    const char* name = as_text(xmlTextReaderConstName(reader));
    if (name == nullptr || std::strcmp(name, path[level]) != 0) continue;
    if (path_entry(path, level + 1) != nullptr) {
      ++level;
      continue;
    }
    if (final_test(reader)) return 1;
  }
  return 0;
}

}  // namespace

FileReader open_file_reader(const char* file) {
  if (file == nullptr) return FileReader();
  // Update tools write "Update_normal.xml" where the agent asks for "update_normal.xml": the
  // last component is found without regard to case, as file names compare on the agent's
  // original platform. A tool may leave anything under that name, so the file is taken only
  // as a bounded regular file, read at once, and parsed from memory.
  const std::string path = qma::platform::resolve_path(file);
  auto content = qma::platform::read_regular_file(path, qma::platform::kXmlFileMax);
  if (!content.ok()) return FileReader();
  auto held = std::make_unique<std::string>(std::move(content.value()));
  Reader reader(xmlReaderForMemory(held->data(), static_cast<int>(held->size()), path.c_str(),
                                   nullptr, kReaderOptions));
  if (!reader) return FileReader();
  return FileReader(std::move(held), std::move(reader));
}

Reader open_memory_reader(const char* bytes, int length) {
  if (bytes == nullptr || length < 0) return Reader();
  return Reader(xmlReaderForMemory(bytes, length, nullptr, nullptr, kReaderOptions));
}

namespace {

bool starts_with(const char* p, const char* end, std::string_view prefix) {
  return static_cast<size_t>(end - p) >= prefix.size() &&
         std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

// The end of `what` from p on, or `end` when it never comes.
const char* past(const char* p, const char* end, std::string_view what) {
  std::string_view rest(p, static_cast<size_t>(end - p));
  size_t at = rest.find(what);
  return at == std::string_view::npos ? end : p + at + what.size();
}

// Past the '>' that closes markup starting at p, stepping over quoted texts and, for a
// document type declaration, its internal subset in brackets (comments included).
const char* past_markup(const char* p, const char* end) {
  char quote = 0;
  int brackets = 0;
  while (p < end) {
    char c = *p;
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      ++brackets;
    } else if (c == ']') {
      if (brackets > 0) --brackets;
    } else if (brackets > 0 && starts_with(p, end, "<!--")) {
      p = past(p + 4, end, "-->");
      continue;
    } else if (c == '>' && brackets == 0) {
      return p + 1;
    }
    ++p;
  }
  return end;
}

}  // namespace

bool nesting_within(const char* bytes, int length, int max_levels) {
  if (bytes == nullptr || length <= 0) return true;
  const char* p = bytes;
  const char* end = bytes + length;
  int depth = 0;
  while (p < end) {
    p = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)));
    if (p == nullptr) break;
    ++p;
    if (starts_with(p, end, "!--")) {
      p = past(p + 3, end, "-->");
    } else if (starts_with(p, end, "![CDATA[")) {
      p = past(p + 8, end, "]]>");
    } else if (starts_with(p, end, "?")) {
      p = past(p + 1, end, "?>");
    } else if (starts_with(p, end, "!")) {
      p = past_markup(p + 1, end);
    } else if (starts_with(p, end, "/")) {
      if (depth > 0) --depth;
      p = past_markup(p + 1, end);
    } else {
      const char* close = past_markup(p, end);
      if (depth + 1 > max_levels) return false;
      // An empty-element tag ("<a/>") stands at its level but leaves none open.
      bool empty = close - p >= 2 && close[-1] == '>' && close[-2] == '/';
      if (!empty) ++depth;
      p = close;
    }
  }
  return true;
}

const char* path_entry(const char* const* path, int level) {
  if (path == nullptr || path[level] == nullptr || path[level][0] == '\0') return nullptr;
  return path[level];
}

void copy_bounded(char* out, int size, const char* source) {
  if (out == nullptr || size < 1) return;
  int i = 0;
  if (source != nullptr) {
    for (; i < size - 1 && source[i] != '\0'; ++i) out[i] = source[i];
  }
  out[i] = '\0';
}

bool equals_cut(const char* found, const char* expected, size_t max) {
  for (size_t i = 0; i < max; ++i) {
    if (found[i] != expected[i]) return false;
    if (found[i] == '\0') return true;
  }
  return expected[max] == '\0';
}

int QMA_xml_GetElementReader(xmlTextReaderPtr reader, const char* const* path, const char* attr,
                             const char* value) {
  if (reader == nullptr) return 0;
  return scan(reader, path, 0, true,
              [&](xmlTextReaderPtr r) { return passes_attribute_test(r, attr, value); });
}

int QMA_xml_GetElementValue(xmlTextReaderPtr reader, const char* const* path, const char* attr,
                            const char* value, char* out, int out_size) {
  if (reader == nullptr) return 0;
  // An empty first entry starts one level below the element the reader stands on.
  const int level = (path != nullptr && path[0] != nullptr && path[0][0] == '\0') ? 1 : 0;
  if (!scan(reader, path, level, true,
            [&](xmlTextReaderPtr r) { return passes_attribute_test(r, attr, value); })) {
    return 0;
  }
  copy_bounded(out, out_size, "");
  if (xmlTextReaderRead(reader) != 1) return 0;
  if (xmlTextReaderNodeType(reader) == kNodeText) {
    const char* text = as_text(xmlTextReaderConstValue(reader));
    if (text != nullptr) copy_bounded(out, out_size, text);
  }
  return 1;
}

int QMA_xml_GetAttributeValue(xmlTextReaderPtr reader, const char* const* path, const char* attr,
                              int occurrence, char* out, int out_size) {
  // Without an attribute name no element can pass the final test.
  if (reader == nullptr || attr == nullptr) return 0;
  int count = 0;
  return scan(reader, path, 0, false, [&](xmlTextReaderPtr r) {
    AttributeText found(r, attr);
    if (found.get() == nullptr) return false;
    if (++count != occurrence) return false;
    copy_bounded(out, out_size, found.get());
    return true;
  });
}

int QMA_xml_ComparePattern(const char* expected, const char* found) {
  if (expected == nullptr) expected = "";
  if (found == nullptr) found = "";
  const size_t expected_len = std::strlen(expected);
  const size_t found_len = std::strlen(found);
  const size_t n = expected_len > found_len ? expected_len : found_len;
  for (size_t i = 0; i < n; ++i) {
    if (i < found_len && found[i] == '*') return 1;
    if (i >= expected_len || i >= found_len) return 0;
    if (expected[i] != found[i]) return 0;
  }
  return 1;
}

}  // namespace qma::xmlsub
