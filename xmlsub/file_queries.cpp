// The file query exports: each opens the named file with a reader of its own, answers one
// question and frees the reader.
#include <libxml/parser.h>

#include <cstring>

#include "xmlsub/qmagentsub.h"
#include "xmlsub/xml_matchers.h"

namespace qma::xmlsub {
namespace {

/// Sends one line to the caller's log writer, naming the export and the source file.
template <typename... Args>
void log_error(QMA_XML_LogProc log, const char* func, int line, const char* format, Args... args) {
  if (log != nullptr) log(func, kSourceName, line, format, args...);
}

/// The attribute's value cut to the compare width, for the selection tests.
void cut_attribute(const char* value, char (&out)[kAttributeCompareMax + 1]) {
  copy_bounded(out, sizeof out, value);
}

/// True when the node is an element at `depth` named `name`.
bool element_matches(xmlTextReaderPtr reader, int depth, const char* name) {
  if (xmlTextReaderNodeType(reader) != kNodeElement || xmlTextReaderDepth(reader) != depth) {
    return false;
  }
  const char* found = reinterpret_cast<const char*>(xmlTextReaderConstName(reader));
  return found != nullptr && std::strcmp(found, name) == 0;
}

/// The selecting element passes when every name carries a value that matches its pattern.
bool passes_patterns(xmlTextReaderPtr reader, const char* const* names,
                     const char* const* expected) {
  for (int i = 0; path_entry(names, i) != nullptr; ++i) {
    AttributeText found(reader, names[i]);
    if (found.get() == nullptr) return false;
    char cut[kAttributeCompareMax + 1];
    cut_attribute(found.get(), cut);
    const char* pattern = (expected != nullptr && expected[i] != nullptr) ? expected[i] : "";
    if (!QMA_xml_ComparePattern(pattern, cut)) return false;
  }
  return true;
}

int elem_value_with_attr(xmlTextReaderPtr reader, const char* const* select_path,
                         const char* const* value_path, const char* attr, const char* attr_value,
                         char* out, int out_size) {
  const int base = xmlTextReaderDepth(reader);
  const char* const* path = select_path;
  int level =
      (select_path != nullptr && select_path[0] != nullptr && select_path[0][0] == '\0') ? 1 : 0;
  // Without an attribute there is no selection step: the selecting path names the value.
  bool selecting = attr != nullptr;
  while (path_entry(path, level) != nullptr) {
    if (xmlTextReaderRead(reader) != 1) return 0;
    if (xmlTextReaderDepth(reader) < base) return 0;
    if (!element_matches(reader, base + level, path[level])) continue;
    if (path_entry(path, level + 1) != nullptr) {
      ++level;
      continue;
    }
    if (selecting) {
      AttributeText found(reader, attr);
      if (found.get() == nullptr ||
          !equals_cut(found.get(), attr_value == nullptr ? "" : attr_value, kAttributeCompareMax)) {
        continue;
      }
      // The value path repeats the selecting path and adds the wanted child names.
      selecting = false;
      path = value_path;
      ++level;
      continue;
    }
    if (xmlTextReaderRead(reader) != 1) return 0;
    if (xmlTextReaderNodeType(reader) != kNodeText) return 0;
    const char* text = reinterpret_cast<const char*>(xmlTextReaderConstValue(reader));
    if (text == nullptr || text[0] == '\0') return 0;
    copy_bounded(out, out_size, text);
    return 1;
  }
  return 0;
}

int attr_value_with_attrs(xmlTextReaderPtr reader, const char* const* select_path,
                          const char* const* value_path, const char* const* select_names,
                          const char* const* expected, const char* const* value_names, char* out,
                          int out_size) {
  const int base = xmlTextReaderDepth(reader);
  const char* const* path = select_path;
  int level = 0;
  bool selecting = true;
  // Only the first value name is used.
  const char* value_name = path_entry(value_names, 0);
  while (path_entry(path, level) != nullptr) {
    // No stop at a shallower node: the scan runs to the end of the document.
    if (xmlTextReaderRead(reader) != 1) return 0;
    if (!element_matches(reader, base + level, path[level])) continue;
    if (path_entry(path, level + 1) != nullptr) {
      ++level;
      continue;
    }
    if (selecting) {
      if (!passes_patterns(reader, select_names, expected)) continue;
      selecting = false;
      path = value_path;
      ++level;
      continue;
    }
    AttributeText found(reader, value_name);
    if (found.get() == nullptr) continue;
    copy_bounded(out, out_size, found.get());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace qma::xmlsub

using qma::xmlsub::FileReader;
using qma::xmlsub::log_error;
using qma::xmlsub::open_file_reader;

extern "C" {

void QMA_XML_InitParser(void) {
  xmlInitParser();
}

void QMA_XML_CleanupParser(void) {
  xmlCleanupParser();
}

int QMA_XML_CheckElementForFile(QMA_XML_LogProc log, const char* file, const char* const* path) {
  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  return qma::xmlsub::QMA_xml_GetElementReader(reader.get(), path, nullptr, nullptr);
}

int QMA_XML_GetElementValueForFile(QMA_XML_LogProc log, const char* file, const char* const* path,
                                   char* out, int out_size) {
  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  if (!qma::xmlsub::QMA_xml_GetElementValue(reader.get(), path, nullptr, nullptr, out, out_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetElementValue() error!");
    return 0;
  }
  return 1;
}

int QMA_XML_GetAttributeValueForFile(QMA_XML_LogProc log, const char* file, const char* const* path,
                                     const char* attr, int occurrence, char* out, int out_size) {
  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  if (!qma::xmlsub::QMA_xml_GetAttributeValue(reader.get(), path, attr, occurrence, out,
                                              out_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetAttributeValue() error!");
    return 0;
  }
  return 1;
}

int QMA_XML_GetElemValueForFile_WithAttr(QMA_XML_LogProc log, const char* file,
                                         const char* const* select_path,
                                         const char* const* value_path, const char* attr,
                                         const char* attr_value, char* out, int out_size) {
  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  return qma::xmlsub::elem_value_with_attr(reader.get(), select_path, value_path, attr, attr_value,
                                           out, out_size);
}

int QMA_XML_GetAttrValueForFile_WithID(QMA_XML_LogProc log, const char* file,
                                       const char* const* first_path, const char* const* next_path,
                                       const char* attr, int occurrence, char* out, int entry_size,
                                       int* count) {
  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error! xmlFileName=[%s]",
              file == nullptr ? "" : file);
    return 0;
  }
  if (count == nullptr) return 1;
  // Counting mode reuses one work slot for every pass and keeps nothing.
  char work[128];
  const bool collecting = out != nullptr;
  const int capacity = collecting ? *count : 0;
  if (collecting && (capacity < 1 || entry_size < 1)) {
    *count = 0;
    return 1;
  }
  char* slot = collecting ? out : work;
  const int slot_size = collecting ? entry_size : static_cast<int>(sizeof work);
  int found = 0;
  const char* const* path = first_path;
  while (qma::xmlsub::QMA_xml_GetAttributeValue(reader.get(), path, attr, occurrence, slot,
                                                slot_size)) {
    // Later passes look relative to the element just matched.
    path = next_path;
    if (slot[0] == '\0') continue;  // an empty value is not counted; its slot is used again
    ++found;
    if (collecting) {
      if (found >= capacity) break;
      slot += entry_size;
    }
  }
  *count = found;
  return 1;
}

int QMA_XML_GetAttrValueForFile_WithAttrs(QMA_XML_LogProc log, const char* file,
                                          const char* const* select_path,
                                          const char* const* value_path,
                                          const char* const* select_names,
                                          const char* const* expected,
                                          const char* const* value_names, char* out, int out_size) {
  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  if (!qma::xmlsub::attr_value_with_attrs(reader.get(), select_path, value_path, select_names,
                                          expected, value_names, out, out_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetAttributeValueForFile_WithAttrs() error!");
    return 0;
  }
  return 1;
}

int QMA_XML_GetStatusMsg(QMA_XML_LogProc log, const char* file, const char* status_code,
                         char* out_ja, int ja_size, char* out_en, int en_size) {
  const char* list_path[] = {"quillmend_package", "output_messages", "message_list", ""};
  const char* message_path[] = {"", "message", ""};
  const char* code = status_code == nullptr ? "" : status_code;

  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  // A code without messages is not an error: both outputs stay as the caller set them.
  if (!qma::xmlsub::QMA_xml_GetElementReader(reader.get(), list_path, "status_code", code)) {
    return 1;
  }
  if (!qma::xmlsub::QMA_xml_GetElementValue(reader.get(), message_path, "lang", "ja", out_ja,
                                            ja_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetElementValue() error!");
    return 0;
  }

  reader.reset();
  reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!");
    return 0;
  }
  if (!qma::xmlsub::QMA_xml_GetElementReader(reader.get(), list_path, "status_code", code)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetElementReader() error!");
    return 0;
  }
  if (!qma::xmlsub::QMA_xml_GetElementValue(reader.get(), message_path, "lang", "en", out_en,
                                            en_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetElementValue() error!");
    return 0;
  }
  return 1;
}

int QMA_XML_GetModuleName(QMA_XML_LogProc log, const char* file, const char* element, char* out_ja,
                          int ja_size, char* out_en, int en_size) {
  const char* path[] = {"quillmend_package", element == nullptr ? "" : element, ""};

  FileReader reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!!");
    return 0;
  }
  if (!qma::xmlsub::QMA_xml_GetElementValue(reader.get(), path, "lang", "ja", out_ja, ja_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetElementValue() error!");
    return 0;
  }

  reader.reset();
  reader = open_file_reader(file);
  if (!reader) {
    log_error(log, __func__, __LINE__, "xmlReaderForFile() error!!");
    return 0;
  }
  if (!qma::xmlsub::QMA_xml_GetElementValue(reader.get(), path, "lang", "en", out_en, en_size)) {
    log_error(log, __func__, __LINE__, "QMA_xml_GetElementValue() error!!");
    return 0;
  }
  return 1;
}

}  // extern "C"
