// Small system functions of the agent: host name and file test here; the
// registry access and the OS version classification join them in this header.
#pragma once

extern "C" {

/// Puts the host name into buffer (size bytes). Returns 1, or 0 after logging
/// the failure to the agent log.
int QMA_Cmn_GetHostName(char* buffer, int size);

/// Returns 1 when folder, the path separator and file name name a file that
/// can be opened for reading, else 0 (also when the path is longer than 259
/// characters).
int QMA_Cmn_CheckFile(const char* folder, const char* file_name);

/// Value types of QMA_Cmn_SetRegistory, numbered as Windows numbers them.
#define QMA_REG_SZ 1
#define QMA_REG_EXPAND_SZ 2
#define QMA_REG_BINARY 3
#define QMA_REG_DWORD 4

/// The DWORD value of entry in the key (a path under HKEY_LOCAL_MACHINE); when
/// the value is missing it is created with default_value. Any failure gives
/// default_value. Logs to the service log.
unsigned int QMA_Cmn_GetRegistory_dword(const char* key, const char* entry,
                                        unsigned int default_value);

/// Fills output (a zeroed buffer of output_size bytes) with the string value of
/// entry, or with default_text when no value was read; a missing value is
/// created as REG_SZ holding default_text without its terminator. Logs to the
/// service log.
void QMA_Cmn_GetRegistory_String(const char* key, const char* entry, const char* default_text,
                                 char* output, unsigned int output_size);

/// Writes one value (type, exact bytes) into an existing key. Returns 1, or 0
/// after logging the failure to the service log.
int QMA_Cmn_SetRegistory(const char* key, const char* entry, unsigned int type, const void* data,
                         unsigned int size);

/// Classifies the running OS: stores the OS type and copies its name into
/// os_name (at least 260 bytes, zeroed by the caller). Returns 1, or 0 with
/// both outputs untouched when the OS version cannot be read. Logs to the
/// agent log.
int QMA_GetOSInfo(int* os_type, char* os_name);

/// 1 when the OS is 64-bit (the Windows build: a 32-bit agent on 64-bit Windows), else 0.
int QMA_IsWow64(void);

/// 1 when the system is a Server 2003 R2 edition; always 0 on Linux.
int QMA_IsServerR2(void);
}
