// Run-time binding of the XML reader library and the element-path reader built on it.
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "common/cmn/qmcmn.h"
#include "platform/dynlib.h"
#include "platform/file.h"

namespace {

// The reader library's entry points, declared here so that nothing links against it.
using XmlReader = void*;
using XmlFreeFunc = void (*)(void*);
using XmlFreeTextReaderFunc = void (*)(XmlReader);
using XmlReaderForMemoryFunc = XmlReader (*)(const char*, int, const char*, const char*, int);
using XmlTextReaderConstNameFunc = const unsigned char* (*)(XmlReader);
using XmlTextReaderConstValueFunc = const unsigned char* (*)(XmlReader);
using XmlTextReaderDepthFunc = int (*)(XmlReader);
using XmlTextReaderGetAttributeFunc = unsigned char* (*)(XmlReader, const unsigned char*);
using XmlTextReaderNodeTypeFunc = int (*)(XmlReader);
using XmlTextReaderReadFunc = int (*)(XmlReader);

// Reader options: no network access, and parse errors stay out of stderr (a failed read is
// the answer). Entities are not substituted and no DTD is loaded.
constexpr int kParseNoError = 1 << 5;
constexpr int kParseNoWarning = 1 << 6;
constexpr int kParseNoNet = 1 << 11;
constexpr int kReaderOptions = kParseNoError | kParseNoWarning | kParseNoNet;

constexpr int kNodeElement = 1;
constexpr int kNodeText = 3;
// Names and attribute values compare over at most this many characters; element values are
// read through a work buffer of the same size.
constexpr size_t kWorkSize = 1025;

struct XmlEntries {
  // "xmlFree" is exported as a variable that holds the deallocator, not as a function: the
  // bound address is that variable's, and it is read at each call.
  XmlFreeFunc* free_slot = nullptr;
  XmlFreeTextReaderFunc free_text_reader = nullptr;
  XmlReaderForMemoryFunc reader_for_memory = nullptr;
  XmlTextReaderConstNameFunc const_name = nullptr;
  XmlTextReaderConstValueFunc const_value = nullptr;
  XmlTextReaderDepthFunc depth = nullptr;
  XmlTextReaderGetAttributeFunc get_attribute = nullptr;
  XmlTextReaderNodeTypeFunc node_type = nullptr;
  XmlTextReaderReadFunc read = nullptr;

  bool complete() const {
    return free_slot != nullptr && free_text_reader != nullptr && reader_for_memory != nullptr &&
           const_name != nullptr && const_value != nullptr && depth != nullptr &&
           get_attribute != nullptr && node_type != nullptr && read != nullptr;
  }
};

std::optional<qma::platform::DynamicLibrary> g_xml_library;
XmlEntries g_xml;

template <typename T>
bool bind(const qma::platform::DynamicLibrary& library, const char* name, T& entry) {
  entry = reinterpret_cast<T>(library.symbol(name));
  return entry != nullptr;
}

/// One reader over a file's content, freed on every path. The file is read whole first, only
/// as a bounded regular file and never waiting on it (a package or tool may have left a FIFO
/// or a device in its place), and parsed from memory.
class FileReader {
 public:
  explicit FileReader(const std::string& file) {
    auto read = qma::platform::read_regular_file(file, qma::platform::kXmlFileMax);
    if (!read.ok()) return;
    content_ = std::move(read.value());
    reader_ = g_xml.reader_for_memory(content_.data(), static_cast<int>(content_.size()),
                                      file.c_str(), nullptr, kReaderOptions);
  }
  ~FileReader() {
    if (reader_ != nullptr) g_xml.free_text_reader(reader_);
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  XmlReader get() const { return reader_; }

 private:
  std::string content_;
  XmlReader reader_ = nullptr;
};

const char* path_name(const char* const* path, int level) {
  if (path[level] == nullptr || path[level][0] == '\0') return nullptr;
  return path[level];
}

bool has_attribute(XmlReader reader, const char* name, const char* expected) {
  unsigned char* found = g_xml.get_attribute(reader, reinterpret_cast<const unsigned char*>(name));
  if (found == nullptr) return false;
  char value[kWorkSize];
  QMCmnStrnCpy(value, reinterpret_cast<const char*>(found), sizeof value);
  (*g_xml.free_slot)(found);
  return std::strncmp(value, expected == nullptr ? "" : expected, kWorkSize) == 0;
}

// After the element's start tag: its first node, when that is text, is the value. Any other
// node (an empty element, a child element, a comment, CDATA) leaves the value empty.
bool read_text(XmlReader reader, char* out, size_t out_size) {
  if (out != nullptr && out_size > 0) out[0] = '\0';
  if (g_xml.read(reader) != 1) return false;
  if (g_xml.node_type(reader) == kNodeText) {
    const char* text = reinterpret_cast<const char*>(g_xml.const_value(reader));
    if (text != nullptr) {
      char value[kWorkSize];
      QMCmnStrnCpy(value, text, sizeof value);
      QMCmnStrnCpy(out, value, out_size);
    }
  }
  return true;
}

// Walks forward by depth and name only: once a level matched, the next element at the deeper
// level with the right name is taken even when it lies under a later parent.
bool walk(XmlReader reader, const char* const* path, const char* attr_name, const char* attr_value,
          char* out, size_t out_size) {
  const int base = g_xml.depth(reader);
  int level = 0;
  while (path_name(path, level) != nullptr) {
    if (g_xml.read(reader) != 1) return false;
    const int depth = g_xml.depth(reader);
    if (depth < base) return false;
    if (depth != base + level || g_xml.node_type(reader) != kNodeElement) continue;
    const char* name = reinterpret_cast<const char*>(g_xml.const_name(reader));
    if (name == nullptr || std::strncmp(name, path[level], kWorkSize) != 0) continue;
    if (path_name(path, level + 1) != nullptr) {
      ++level;
      continue;
    }
    // On the last name a failed attribute test keeps looking at the same level.
    if (attr_name != nullptr && !has_attribute(reader, attr_name, attr_value)) continue;
    return read_text(reader, out, out_size);
  }
  return false;
}

}  // namespace

int QMCmnLoadXmlLibrary(void) {
  if (!g_xml_library) {
    auto loaded = qma::platform::DynamicLibrary::load(qma::platform::kXmlReaderLibraryName);
    if (!loaded) return -1;
    g_xml_library.emplace(std::move(loaded.value()));
  }
  const auto& library = *g_xml_library;
  XmlEntries entries;
  if (!bind(library, "xmlFree", entries.free_slot) ||
      !bind(library, "xmlFreeTextReader", entries.free_text_reader) ||
      !bind(library, "xmlReaderForMemory", entries.reader_for_memory) ||
      !bind(library, "xmlTextReaderConstName", entries.const_name) ||
      !bind(library, "xmlTextReaderConstValue", entries.const_value) ||
      !bind(library, "xmlTextReaderDepth", entries.depth) ||
      !bind(library, "xmlTextReaderGetAttribute", entries.get_attribute) ||
      !bind(library, "xmlTextReaderNodeType", entries.node_type) ||
      !bind(library, "xmlTextReaderRead", entries.read)) {
    return -1;
  }
  g_xml = entries;
  return 0;
}

int QMCmnFreeXmlLibrary(void) {
  g_xml = XmlEntries{};
  if (!g_xml_library) return 0;
  const bool unloaded = g_xml_library->unload();
  g_xml_library.reset();
  return unloaded ? 0 : -1;
}

namespace {
void call_parser_entry(const char* name) {
  if (!g_xml_library) return;
  using ParserFunc = void (*)();
  auto entry = reinterpret_cast<ParserFunc>(g_xml_library->symbol(name));
  if (entry != nullptr) entry();
}
}  // namespace

void QMCmnXmlInitParser(void) {
  call_parser_entry("xmlInitParser");
}

void QMCmnXmlCleanupParser(void) {
  call_parser_entry("xmlCleanupParser");
}

int QMCmnXmlGetElementValue(const char* file, const char* const* path, const char* attr_name,
                            const char* attr_value, char* out, size_t out_size) {
  // An empty path names nothing.
  if (!g_xml.complete() || file == nullptr || path == nullptr || path_name(path, 0) == nullptr) {
    return -1;
  }
  // The last component is found without regard to case ("qmagent.xml" for "QMAgent.xml").
  std::string resolved;
  try {
    resolved = qma::platform::resolve_path(file);
  } catch (...) {
    return -1;
  }
  FileReader reader(resolved);
  if (reader.get() == nullptr) return -1;
  return walk(reader.get(), path, attr_name, attr_value, out, out_size) ? 0 : -1;
}
