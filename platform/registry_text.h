// The registry file's text form: a .reg export, parsed and written without losing a line.
//
// Format (one value per line, sections separated by a blank line):
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Norvik\QMAgent\Config]
//   "AGENT_EFFECT"=dword:00000001            REG_DWORD, 4 bytes
//   "Name"="text"                            REG_SZ, the text and one zero byte
//   "Name"=expand:"%X%\bin"                  REG_EXPAND_SZ, the text and one zero byte
//   "LOG_SAVEPATH"=sz(260):"/srv/QMA_LOGROOT" REG_SZ of exactly 260 bytes: the text,
//                                            then zero bytes (sz(4):"abcd" has no zero)
//   "Name"=expand(8):"%X%"                   the same for REG_EXPAND_SZ
//   "Name"=hex:01,02                         REG_BINARY
//   "Name"=hex(b):01,00,00,00,00,00,00,00    any other type (hex number) or size, e.g.
//                                            hex(4):... for a REG_DWORD that is not 4 bytes
//   @="text"                                 the key's default value (empty name)
//
// Names and quoted texts escape '\' and '"' with '\'. Strings holding a line
// break, or bytes other than zeros after their first zero byte, use the hex
// form. Hex lists may continue on following lines after a trailing '\'.
// Lines that cannot be parsed (and keys outside HKEY_LOCAL_MACHINE) are kept
// verbatim where they stand and reported as problems; comments (';') are kept.
#pragma once

#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace qma::platform::regtext {

/// ASCII comparison without case, as key and value names compare.
bool iequals(std::string_view a, std::string_view b);

/// One line of a key's section: a value, or a line kept verbatim.
struct Entry {
  bool raw = false;
  std::string text;  // the verbatim line(s) when raw
  RegistryValue value;
};

/// One key with its lines. `path` is the sub-key path as stored ("" for the
/// hive). A foreign section (another hive, or a header that cannot be read) is
/// kept verbatim, header included, and never matches a lookup.
struct Section {
  std::string path;
  bool foreign = false;
  std::string header;
  std::vector<Entry> entries;

  Entry* find_value(std::string_view name);
};

/// The limits of the Windows registry, which this one keeps too.
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

/// A parsed registry file. Keys are found through an index, so reading, changing
/// and writing a file costs time in proportion to its size.
class Document {
 public:
  std::vector<std::string> preamble;  // verbatim lines before the first key
  std::list<Section> sections;        // in file order; add and remove keys through the calls below
  std::vector<std::string> problems;  // "line N: ..." for each line not understood

  Section* find_key(std::string_view path);
  /// The key's section, made (with its missing parents) when absent: a new key
  /// goes after its parent's subtree. `created` tells whether the key itself was new.
  Section& ensure_key(std::string_view path, bool* created = nullptr);
  /// Removes the key with every key below it; false when it is absent.
  bool remove_key(std::string_view path);
  /// A section kept verbatim (a foreign key); never found by a lookup.
  Section& add_foreign(Section section);

 private:
  friend Document parse(std::string_view text);
  /// As ensure_key, but a new key goes at the end (parsing keeps the file's order).
  Section& ensure_key_at_end(std::string_view path);
  Section& ensure(std::string_view path, bool at_end, bool* created);

  std::unordered_map<std::string, Section*> index_;  // folded path -> its section
};

/// Splits a sub-key path into its components; false for an empty component,
/// a name holding a line break or a zero byte, a name longer than
/// kMaxKeyNameLength or more than kMaxKeyDepth components. "" is the hive.
bool split_key_path(std::string_view path, std::vector<std::string_view>& parts);

Document parse(std::string_view text);
std::string format(const Document& document);

/// One value line (without line break) / the value of one line.
std::string format_value(const RegistryValue& value);
bool parse_value(std::string_view line, RegistryValue& value);
/// True for a value name the registry accepts: no line break or zero byte, at most
/// kMaxValueNameLength characters.
bool valid_value_name(std::string_view name);

}  // namespace qma::platform::regtext
