// Exports of the XML query library QMAgentSub, and the pointer types the agent binds them to.
//
// Name paths and name lists are arrays of texts ended by an empty entry ("" or a null pointer).
// Sizes are buffer sizes including the terminator; every value is cut to size minus one and
// terminated. Except for the two parser calls, every export takes the caller's log writer
// first and reports each failure through it; the library never logs on its own.
#pragma once

#include "common/log/qma_log.h"
#include "common/qma_records.h"
#include "platform/library_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/// The log callback every query takes first: one of the agent's log writers.
typedef QMA_LOG_FUNC QMA_XML_LogProc;

#define QMA_XMLSUB_EXPORT QMA_LIBRARY_EXPORT

/// Sets up the XML parser's process-wide state; called once before any other export.
QMA_XMLSUB_EXPORT void QMA_XML_InitParser(void);
/// Releases the XML parser's process-wide state; called once when the agent ends.
QMA_XMLSUB_EXPORT void QMA_XML_CleanupParser(void);

/// Parses one request message of `length` bytes (no terminator needed) into `req`, and for
/// update requests saves the reply-to address and port in `config`. 1 parsed, 0 rejected.
QMA_XMLSUB_EXPORT int QMA_XML_GetManagerRequestInfo(QMA_XML_LogProc log, const char* message,
                                                    int length, struct ReqInfo* req,
                                                    struct QMAConfig* config);

/// 1 when an element matching `path` exists in the file, else 0.
QMA_XMLSUB_EXPORT int QMA_XML_CheckElementForFile(QMA_XML_LogProc log, const char* file,
                                                  const char* const* path);

/// Text of the first element matching `path` (empty for an element without text). 1 or 0.
QMA_XMLSUB_EXPORT int QMA_XML_GetElementValueForFile(QMA_XML_LogProc log, const char* file,
                                                     const char* const* path, char* out,
                                                     int out_size);

/// Value of attribute `attr` on the `occurrence`-th (from 1) matching element that carries it.
QMA_XMLSUB_EXPORT int QMA_XML_GetAttributeValueForFile(QMA_XML_LogProc log, const char* file,
                                                       const char* const* path, const char* attr,
                                                       int occurrence, char* out, int out_size);

/// Text of the element at `value_path` below the element at `select_path` whose attribute
/// `attr` equals `attr_value`. An element without text is a failure here.
QMA_XMLSUB_EXPORT int QMA_XML_GetElemValueForFile_WithAttr(QMA_XML_LogProc log, const char* file,
                                                           const char* const* select_path,
                                                           const char* const* value_path,
                                                           const char* attr, const char* attr_value,
                                                           char* out, int out_size);

/// Collects the non-empty values of attribute `attr` of repeated elements: the first through
/// `first_path`, the following through `next_path`. With `out` null only counts (and ignores
/// the capacity in *count); otherwise writes entries of `entry_size` bytes, at most *count.
/// Stores the number found in *count. 0 only when the file cannot be opened.
QMA_XMLSUB_EXPORT int QMA_XML_GetAttrValueForFile_WithID(QMA_XML_LogProc log, const char* file,
                                                         const char* const* first_path,
                                                         const char* const* next_path,
                                                         const char* attr, int occurrence,
                                                         char* out, int entry_size, int* count);

/// Value of attribute value_names[0] on the element at `value_path` below the element at
/// `select_path` whose attributes select_names[i] match the patterns expected[i].
QMA_XMLSUB_EXPORT int QMA_XML_GetAttrValueForFile_WithAttrs(
    QMA_XML_LogProc log, const char* file, const char* const* select_path,
    const char* const* value_path, const char* const* select_names, const char* const* expected,
    const char* const* value_names, char* out, int out_size);

/// The Japanese and English message texts for one status code of a package descriptor. A code
/// without messages is a success that leaves both outputs untouched.
QMA_XMLSUB_EXPORT int QMA_XML_GetStatusMsg(QMA_XML_LogProc log, const char* file,
                                           const char* status_code, char* out_ja, int ja_size,
                                           char* out_en, int en_size);

/// The Japanese and English texts of the element `element` below the descriptor's root.
QMA_XMLSUB_EXPORT int QMA_XML_GetModuleName(QMA_XML_LogProc log, const char* file,
                                            const char* element, char* out_ja, int ja_size,
                                            char* out_en, int en_size);

// Pointer types under which the agent binds the exports by name.
typedef void QMA_XML_InitParser_FUNC(void);
typedef void QMA_XML_CleanupParser_FUNC(void);
typedef int QMA_XML_GetManagerRequestInfo_FUNC(QMA_XML_LogProc, const char*, int, struct ReqInfo*,
                                               struct QMAConfig*);
typedef int QMA_XML_CheckElementForFile_FUNC(QMA_XML_LogProc, const char*, const char* const*);
typedef int QMA_XML_GetElementValueForFile_FUNC(QMA_XML_LogProc, const char*, const char* const*,
                                                char*, int);
typedef int QMA_XML_GetAttributeValueForFile_FUNC(QMA_XML_LogProc, const char*, const char* const*,
                                                  const char*, int, char*, int);
typedef int QMA_XML_GetElemValueForFile_WithAttr_FUNC(QMA_XML_LogProc, const char*,
                                                      const char* const*, const char* const*,
                                                      const char*, const char*, char*, int);
typedef int QMA_XML_GetAttrValueForFile_WithID_FUNC(QMA_XML_LogProc, const char*,
                                                    const char* const*, const char* const*,
                                                    const char*, int, char*, int, int*);
typedef int QMA_XML_GetAttrValueForFile_WithAttrs_FUNC(QMA_XML_LogProc, const char*,
                                                       const char* const*, const char* const*,
                                                       const char* const*, const char* const*,
                                                       const char* const*, char*, int);
typedef int QMA_XML_GetStatusMsg_FUNC(QMA_XML_LogProc, const char*, const char*, char*, int, char*,
                                      int);
typedef int QMA_XML_GetModuleName_FUNC(QMA_XML_LogProc, const char*, const char*, char*, int, char*,
                                       int);

#ifdef __cplusplus
}  // extern "C"
#endif
