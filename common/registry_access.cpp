// The agent's settings in the registry: get-or-create readers with defaults, and the writer.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "platform/registry.h"

namespace {

namespace reg = qma::platform;

constexpr char kSrc[] = "QMACommon";

/// A damaged registry file is still used for what it holds; the administrator
/// learns about the lines that were skipped from the service log.
void log_file_problem(const char* func) {
  std::string problem = reg::registry_file_problem();
  if (!problem.empty())
    QMA_SrvLogError(func, kSrc, __LINE__, "Registry file error! File=[%s] %s",
                    reg::registry_file_path().c_str(), problem.c_str());
}

}  // namespace

extern "C" unsigned int QMA_Cmn_GetRegistory_dword(const char* key, const char* entry,
                                                   unsigned int default_value) {
  static const char* const func = "QMA_Cmn_GetRegistory_dword";
  if (key == nullptr || entry == nullptr) {
    QMA_SrvLogError(func, kSrc, __LINE__, "Parameter error!(registory)");
    return default_value;
  }
  try {
    reg::RegistryKey handle;
    int rc = reg::reg_create_key(key, handle);
    if (rc != 0) {
      log_file_problem(func);
      QMA_SrvLogError(func, kSrc, __LINE__, "RegCreateKeyEx() error! Error=[%d]", rc);
      return default_value;
    }
    unsigned int result = default_value;
    unsigned char data[4] = {};
    uint32_t size = sizeof data;
    uint32_t type = 0;
    rc = reg::reg_query_value(handle, entry, &type, data, &size);
    log_file_problem(func);
    if (rc == 0) {
      // The stored type is not checked; a shorter value fills the low bytes.
      result = 0;
      for (uint32_t i = size; i-- > 0;) result = (result << 8) | data[i];
      QMA_SrvLogInfo(func, kSrc, __LINE__, "Get registory data. Key=[%s] Entry=[%s] Value=[%d]",
                     key, entry, static_cast<int>(result));
    } else if (rc == reg::kErrorFileNotFound) {
      unsigned char bytes[4];
      for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(default_value >> (8 * i));
      rc = reg::reg_set_value(handle, entry, reg::kRegDword, bytes, sizeof bytes);
      if (rc == 0)
        QMA_SrvLogInfo(func, kSrc, __LINE__,
                       "Create registory data. Key=[%s] Entry=[%s] Value=[%d]", key, entry,
                       static_cast<int>(default_value));
      else
        QMA_SrvLogError(func, kSrc, __LINE__, "RegSetValueEx() error! Entry=[%s] Error=[%d]", entry,
                        rc);
    } else {
      QMA_SrvLogError(func, kSrc, __LINE__, "RegQueryValueEx() error! Entry=[%s] Error=[%d]", entry,
                      rc);
    }
    return result;
  } catch (...) {
    QMA_SrvLogError(func, kSrc, __LINE__, "RegQueryValueEx() error! Entry=[%s] Error=[%d]", entry,
                    14);
    return default_value;
  }
}

extern "C" void QMA_Cmn_GetRegistory_String(const char* key, const char* entry,
                                            const char* default_text, char* output,
                                            unsigned int output_size) {
  static const char* const func = "QMA_Cmn_GetRegistory_String";
  // Unlike the DWORD reader there is no parameter check; missing texts are
  // treated the way the registry calls treat them instead of crashing.
  const char* text = default_text != nullptr ? default_text : "";
  const char* name = entry != nullptr ? entry : "";
  bool have_output = output != nullptr && output_size > 0;
  bool read = false;
  try {
    reg::RegistryKey handle;
    int rc = key == nullptr ? reg::kErrorBadPathname : reg::reg_create_key(key, handle);
    if (rc != 0) {
      log_file_problem(func);
      QMA_SrvLogError(func, kSrc, __LINE__, "RegCreateKeyEx() error! Error=[%d]", rc);
    } else {
      uint32_t size = have_output ? output_size : 0;
      uint32_t type = 0;
      rc = have_output ? reg::reg_query_value(handle, name, &type, output, &size)
                       : reg::reg_query_value(handle, name, &type, nullptr, &size);
      log_file_problem(func);
      // A value that fills the whole buffer without a terminator does not fit.
      if (rc == 0 && have_output && size == output_size &&
          std::memchr(output, '\0', size) == nullptr)
        rc = reg::kErrorMoreData;
      if (rc == 0 && have_output) {
        read = true;
        // Stored texts carry no terminator of their own; the caller's buffer may not be zeroed.
        if (size < output_size) output[size] = '\0';
        QMA_SrvLogInfo(func, kSrc, __LINE__, "Get registory data. Key=[%s] Entry=[%s] Value=[%s]",
                       key, name, output);
      } else if (rc == reg::kErrorFileNotFound) {
        rc = reg::reg_set_value(handle, name, reg::kRegSz, text,
                                static_cast<uint32_t>(std::strlen(text)));
        if (rc == 0)
          QMA_SrvLogInfo(func, kSrc, __LINE__,
                         "Create registory data. Key=[%s] Entry=[%s] Value=[%s]", key, name, text);
        else
          QMA_SrvLogError(func, kSrc, __LINE__, "RegSetValueEx() error! Entry=[%s] Error=[%d]",
                          name, rc);
      } else {
        QMA_SrvLogError(func, kSrc, __LINE__, "RegQueryValueEx() error! Entry=[%s] Error=[%d]",
                        name, rc == 0 ? reg::kErrorMoreData : rc);
      }
    }
  } catch (...) {
    QMA_SrvLogError(func, kSrc, __LINE__, "RegQueryValueEx() error! Entry=[%s] Error=[%d]", name,
                    14);
  }
  if (!read && have_output) {
    std::memset(output, 0, output_size);
    std::memcpy(output, text, std::min<size_t>(std::strlen(text), output_size - 1));
  }
}

extern "C" int QMA_Cmn_SetRegistory(const char* key, const char* entry, unsigned int type,
                                    const void* data, unsigned int size) {
  static const char* const func = "QMA_Cmn_SetRegistory";
  const char* name = entry != nullptr ? entry : "";
  try {
    reg::RegistryKey handle;
    int rc = key == nullptr ? reg::kErrorBadPathname : reg::reg_open_key(key, handle);
    if (rc != 0) {
      log_file_problem(func);
      QMA_SrvLogError(func, kSrc, __LINE__, "RegOpenKeyEx() error! Error=[%d]", rc);
      return 0;
    }
    rc = (data == nullptr && size != 0) ? reg::kErrorInvalidParameter
                                        : reg::reg_set_value(handle, name, type, data, size);
    log_file_problem(func);
    if (rc != 0) {
      QMA_SrvLogError(func, kSrc, __LINE__, "RegSetValueEx() error! Key=[%s] Entry=[%s] Error=[%d]",
                      key, name, rc);
      return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (type == QMA_REG_DWORD) {
      unsigned int value = 0;
      for (unsigned int i = std::min(size, 4u); i-- > 0;) value = (value << 8) | bytes[i];
      QMA_SrvLogInfo(func, kSrc, __LINE__,
                     "Set registory data.(DWORD) Key=[%s] Entry=[%s] Value=[%d]", key, name,
                     static_cast<int>(value));
    } else {
      // The bytes are shown as text, up to their first zero.
      const char* text = static_cast<const char*>(data);
      int length = text == nullptr ? 0 : static_cast<int>(strnlen(text, size));
      QMA_SrvLogInfo(func, kSrc, __LINE__, "Set registory data. Key=[%s] Entry=[%s] Value=[%.*s]",
                     key, name, length, text == nullptr ? "" : text);
    }
    return 1;
  } catch (...) {
    QMA_SrvLogError(func, kSrc, __LINE__, "RegSetValueEx() error! Key=[%s] Entry=[%s] Error=[%d]",
                    key, name, 14);
    return 0;
  }
}
