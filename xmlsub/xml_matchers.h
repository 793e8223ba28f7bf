// The three element matchers every export of QMAgentSub rests on, and their small helpers.
#pragma once

#include <libxml/xmlmemory.h>
#include <libxml/xmlreader.h>

#include <memory>
#include <string>
#include <utility>

namespace qma::xmlsub {

/// Source file base name that every log line of the library carries.
inline constexpr const char* kSourceName = "QMAXml";

/// Node types of the streaming reader that the matchers look at.
inline constexpr int kNodeElement = 1;
inline constexpr int kNodeText = 3;

/// Attribute values are compared over at most this many characters.
inline constexpr size_t kAttributeCompareMax = 1023;

struct ReaderDeleter {
  void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};
/// One open reader; freed on every path.
using Reader = std::unique_ptr<xmlTextReader, ReaderDeleter>;

/// An attribute string from the reader (null when the element lacks it), released on every
/// path.
class AttributeText {
 public:
  AttributeText(xmlTextReaderPtr reader, const char* name)
      : text_(name == nullptr
                  ? nullptr
                  : xmlTextReaderGetAttribute(reader, reinterpret_cast<const xmlChar*>(name))) {}
  ~AttributeText() {
    if (text_ != nullptr) xmlFree(text_);
  }
  AttributeText(const AttributeText&) = delete;
  AttributeText& operator=(const AttributeText&) = delete;

  const char* get() const { return reinterpret_cast<const char*>(text_); }

 private:
  xmlChar* text_;
};

/// A reader over a file's content, which it holds for as long as the reader lives.
class FileReader {
 public:
  FileReader() = default;
  FileReader(std::unique_ptr<std::string> content, Reader reader)
      : content_(std::move(content)), reader_(std::move(reader)) {}
  FileReader(FileReader&&) = default;
  FileReader& operator=(FileReader&& other) noexcept {
    // The old reader goes before the content it reads.
    reader_ = std::move(other.reader_);
    content_ = std::move(other.content_);
    return *this;
  }
  ~FileReader() { reader_.reset(); }

  xmlTextReaderPtr get() const { return reader_.get(); }
  explicit operator bool() const { return static_cast<bool>(reader_); }
  void reset() {
    reader_.reset();
    content_.reset();
  }

 private:
  std::unique_ptr<std::string> content_;
  Reader reader_;
};

/// Opens a reader on a file; null when it cannot be opened. The file is read whole first and
/// only as a regular file of at most qma::platform::kXmlFileMax bytes, never through a
/// symbolic link at its last component and never waiting: a FIFO, device or socket in its
/// place cannot be opened. Never touches the network and never loads external entities or a
/// DTD.
FileReader open_file_reader(const char* file);
/// Opens a reader on exactly `length` bytes (no terminator needed); null on failure.
Reader open_memory_reader(const char* bytes, int length);

/// The deepest element nesting a request may have: more levels make it a failed read.
inline constexpr int kMaxNestingLevels = 256;

/// False when the text holds an element more than `max_levels` levels deep,
/// anywhere. The raw text is counted, tag by tag, without the parser: nothing is
/// expanded, the count stops at the first element too deep, and text that is not
/// well formed is left to the lookups, which report it as they meet it.
bool nesting_within(const char* bytes, int length, int max_levels);

/// Path entry `level`, or null when the list has ended there (an empty or null entry). Only
/// call with a level at most one past the last non-empty entry.
const char* path_entry(const char* const* path, int level);

/// Copies `source` into `out`, cut to `size` minus one and always terminated; does nothing
/// without a buffer or with a size below one.
void copy_bounded(char* out, int size, const char* source);

/// True when `found`, taken to at most `max` characters, equals `expected`.
bool equals_cut(const char* found, const char* expected, size_t max);

/// Finds the element that `path` names below the reader's depth; with `attr`, only one whose
/// attribute `attr` equals `value`. Leaves the reader on its start tag. 1 found, else 0.
int QMA_xml_GetElementReader(xmlTextReaderPtr reader, const char* const* path, const char* attr,
                             const char* value);

/// As QMA_xml_GetElementReader, then reads one node more and copies it to `out` when it is
/// text (else `out` is empty). A path whose first entry is empty starts one level below the
/// reader's current element. 1 found and the extra node read, else 0.
int QMA_xml_GetElementValue(xmlTextReaderPtr reader, const char* const* path, const char* attr,
                            const char* value, char* out, int out_size);

/// The `occurrence`-th (from 1) value of attribute `attr` on elements matching `path`. Unlike
/// the two above it never stops at a shallower node. 1 found, else 0.
int QMA_xml_GetAttributeValue(xmlTextReaderPtr reader, const char* const* path, const char* attr,
                              int occurrence, char* out, int out_size);

/// 1 when the value found in a file matches the caller's expected value: a "*" in the found
/// value matches the rest; otherwise both must be equal.
int QMA_xml_ComparePattern(const char* expected, const char* found);

}  // namespace qma::xmlsub
