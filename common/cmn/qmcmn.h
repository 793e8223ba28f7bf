// The common function set that the agent, the inventory library and the get-version tool
// share: run-time binding of the XML reader library, the element-path reader, registry values,
// the process environment, a line reader and bounded string functions.
//
// Unless stated otherwise, a function returns 0 for success and -1 for failure, and logs
// nothing: the caller decides what a failure means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

/// The machine environment key whose values the refresh copies into the process.
inline constexpr const char* kQMCmnEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

/// Loads the XML reader library by name (the platform layer names its file) and binds its nine
/// entry points. The library stays loaded when an entry point is missing.
int QMCmnLoadXmlLibrary(void);
/// Unloads the XML reader library; -1 when the system refuses.
int QMCmnFreeXmlLibrary(void);
/// Sets up and releases the reader library's process-wide state (xmlInitParser and
/// xmlCleanupParser), for programs that bind nothing else of it. Both do nothing while the
/// library is not loaded or lacks the entry point; neither is one of the nine the load needs.
void QMCmnXmlInitParser(void);
void QMCmnXmlCleanupParser(void);

/// Reads the text of the element that `path` names in `file`. `path` lists element names from
/// the root down and ends with a null (or empty) entry; name i must stand at depth i. With
/// `attr_name`, only an element whose attribute has exactly `attr_value` counts. 0 when found
/// (`out` holds its first text, cut to `out_size` minus one, or is empty), else -1.
int QMCmnXmlGetElementValue(const char* file, const char* const* path, const char* attr_name,
                            const char* attr_value, char* out, size_t out_size);

/// Reads value `name` of key `key` under HKEY_LOCAL_MACHINE. With `expand` 1, %NAME%
/// references are replaced by environment variables. A missing key or value gives a copy of at
/// most `default_len` characters of `default_text`, or -1 without a default. On 0, *out holds
/// an allocation the caller releases with QMCmnFree and *out_size its size in bytes (the
/// expanded text's including its terminator, the raw value's byte size, or default_len + 1).
/// The text is always terminated. `reserved` is ignored.
int QMCmnRegGetValue(const char* key, const char* name, const char* default_text,
                     uint32_t default_len, void* reserved, int expand, char** out,
                     uint32_t* out_size);

/// Copies "Path" and then "AXIS2C_HOME" from the machine environment key into the process
/// environment (on Linux "Path" becomes PATH). -1 at the first name that cannot be read or
/// set; names already done keep their new values.
int QMCmnRefreshEnvironment(void);

/// Sets name=value in the process environment, seen by later library loads and children.
int QMCmnPutEnv(const char* name, size_t name_len, const char* value, size_t value_len);

/// Reads one line of at most size minus one characters and drops its final newline (and the
/// carriage return before it). Returns `buffer`, or null at the end of the file or on error.
char* QMCmnFGetSwithoutNL(char* buffer, int size, FILE* file);

/// Characters before the terminator, at most `max`; 0 for missing text or a zero maximum.
size_t QMCmnStrnLen(const char* text, size_t max);
/// Copies at most size minus one characters and always terminates; does nothing when an
/// argument is missing or zero.
void QMCmnStrnCpy(char* dest, const char* source, size_t size);
/// Copies text into a fixed field: cut to the field's size minus one, the rest of the field
/// zeroed. A null source empties the field.
template <size_t N, class Text>
requires std::is_same_v<Text, const char*> || std::is_same_v<Text, char*>
void QMCmnCopyField(char (&field)[N], Text source) {
  size_t length = source == nullptr ? 0 : QMCmnStrnLen(source, N - 1);
  for (size_t i = 0; i < N; ++i) field[i] = i < length ? source[i] : '\0';
}
/// Copies a fixed field into another; the source is read no further than its own size.
template <size_t N, size_t M>
void QMCmnCopyField(char (&field)[N], const char (&source)[M]) {
  size_t length = QMCmnStrnLen(source, M < N ? M : N - 1);
  for (size_t i = 0; i < N; ++i) field[i] = i < length ? source[i] : '\0';
}
/// Appends within the destination's total size and always terminates.
void QMCmnStrnCat(char* dest, const char* source, size_t size);
/// 1 for '0' to '9', else 0.
int QMCmnIsDigit(int c);
/// 'a' to 'z' in upper case; other characters unchanged.
int QMCmnToUpper(int c);
/// Releases memory returned by QMCmnRegGetValue.
void QMCmnFree(void* pointer);
