// One registry value handed to the caller as an allocation, optionally with %NAME% expanded.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/cmn/qmcmn.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
// Freed on every path unless it is handed out with release().
using Allocation = std::unique_ptr<char, FreeDeleter>;

Allocation allocate(size_t size) {
  return Allocation(static_cast<char*>(std::calloc(size, 1)));
}

enum class Read { kValue, kMissing, kFailed };

// Reads the value's bytes. The buffer is one byte longer than the value, so that a string
// stored without its terminator is still terminated; `size` stays the value's own size.
Read read_value(const char* key, std::string_view name, Allocation& data, uint32_t& size) {
  qma::platform::RegistryKey handle;
  const int open_error = qma::platform::reg_open_key(key, handle);
  if (open_error == qma::platform::kErrorFileNotFound) return Read::kMissing;
  if (open_error != 0) return Read::kFailed;

  const int size_error = qma::platform::reg_query_value(handle, name, nullptr, nullptr, &size);
  if (size_error == qma::platform::kErrorFileNotFound) return Read::kMissing;
  if (size_error != 0) return Read::kFailed;

  data = allocate(static_cast<size_t>(size) + 1);
  if (!data) return Read::kFailed;
  if (qma::platform::reg_query_value(handle, name, nullptr, data.get(), &size) != 0) {
    return Read::kFailed;
  }
  return Read::kValue;
}

}  // namespace

int QMCmnRegGetValue(const char* key, const char* name, const char* default_text,
                     uint32_t default_len, void* /*reserved*/, int expand, char** out,
                     uint32_t* out_size) {
  if (key == nullptr || out == nullptr || out_size == nullptr) return -1;

  Allocation raw;
  uint32_t size = 0;
  switch (read_value(key, name == nullptr ? "" : name, raw, size)) {
    case Read::kFailed:
      return -1;
    case Read::kValue:
      if (expand == 1) {
        const std::string expanded = qma::platform::expand_env_references(raw.get());
        Allocation text = allocate(expanded.size() + 1);
        if (!text) return -1;
        std::memcpy(text.get(), expanded.data(), expanded.size());
        *out_size = static_cast<uint32_t>(expanded.size() + 1);
        *out = text.release();
        return 0;
      }
      *out_size = size;
      *out = raw.release();
      return 0;
    case Read::kMissing:
      break;
  }

  if (default_text == nullptr) return -1;
  Allocation text = allocate(static_cast<size_t>(default_len) + 1);
  if (!text) return -1;
  QMCmnStrnCpy(text.get(), default_text, static_cast<size_t>(default_len) + 1);
  *out_size = default_len + 1;
  *out = text.release();
  return 0;
}

void QMCmnFree(void* pointer) {
  std::free(pointer);
}
