// The agent's inventory wrappers over the BmcGate exports.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "bmcgate/bmcgate.h"
#include "common/host/os_info_source.h"
#include "common/host/qma_inventory.h"
#include "common/log/qma_log.h"

namespace {

constexpr const char* kSourceName = "QMABmcGate";
constexpr size_t kWorkSize = 260;
constexpr size_t kGuidWorkSize = 64;

#define INV_LOG_ERROR(...) QMA_LogError(__func__, kSourceName, __LINE__, __VA_ARGS__)
#define INV_LOG_WARNING(...) QMA_LogWarning(__func__, kSourceName, __LINE__, __VA_ARGS__)

// Copies at most max characters and always terminates within size.
void copy_bounded(char* destination, size_t size, std::string_view text) {
  const size_t count = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(destination, text.data(), count);
  destination[count] = '\0';
}

// True when the first three groups of the UUID text are where 8-4-4 puts them.
bool has_guid_groups(std::string_view text) {
  return text.size() >= 23 && text[8] == '-' && text[13] == '-' && text[18] == '-';
}

// The zero-terminated text of a buffer, never past its end.
std::string_view text_of(const char* buffer, size_t size) {
  const void* end = std::memchr(buffer, '\0', size);
  return {buffer,
          end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - buffer) : size};
}

void swap_pair(char* text, size_t a, size_t b) {
  std::swap(text[a], text[b]);
  std::swap(text[a + 1], text[b + 1]);
}

}  // namespace

int QMA_BmcGateInit() {
  return init() == 0 ? 0 : -1;
}

void QMA_BmcGateFinish() {
  finish();
}

int QMA_getBiosVersion(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) {
    INV_LOG_ERROR("QMA_getBiosVersion() argument error !!");
    return -1;
  }
  std::memset(buffer, 0, static_cast<size_t>(length));
  if (getBiosVersion(buffer, length) == -1) {
    INV_LOG_ERROR("getBiosVersion() error !!");
    return -1;
  }
  return 0;
}

int QMA_getSerialNumber(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return -1;
  std::memset(buffer, 0, static_cast<size_t>(length));
  if (getSerialNumber(buffer, length) == -1) {
    INV_LOG_ERROR("getSerialNumber() error !!");
    return -1;
  }
  return 0;
}

int QMA_getBmcFWRevision(char* buffer) {
  if (buffer == nullptr) return -1;
  unsigned char work[kWorkSize] = {};
  if (getBmcFwRevision(work) == -1) {
    INV_LOG_ERROR("getBmcFwRevision() error !!");
    return -1;
  }
  // Both bytes in full: bit 7 of the first is part of the shown value.
  std::snprintf(buffer, 6, "%02x.%02x", work[0], work[1]);
  return 0;
}

int QMA_getProductName(char* name, int name_length, char* model, int model_length) {
  if (name == nullptr || model == nullptr || name_length <= 0 || model_length <= 0) {
    INV_LOG_ERROR("QMA_getProductName() argument error !!");
    return -1;
  }
  char work[kWorkSize] = {};
  if (getProductName(work, static_cast<int>(sizeof(work))) == -1) {
    INV_LOG_ERROR("getProductName() error !!");
    return -1;
  }
  const std::string_view text = text_of(work, sizeof(work));
  if (text.empty()) {
    INV_LOG_WARNING("getProductName() get nothing !!");
    return 0;
  }
  const size_t open = text.find(" [");
  copy_bounded(name, static_cast<size_t>(name_length), text.substr(0, open));
  const size_t close = text.find(']');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    INV_LOG_WARNING("getProductName() get no Node !!");
    return 0;
  }
  const size_t start = open + 2;
  const std::string_view between = close > start ? text.substr(start, close - start) : "";
  copy_bounded(model, static_cast<size_t>(model_length), between);
  return 0;
}

int QMA_getGUID(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) {
    INV_LOG_ERROR("QMA_getGUID() argument error !!");
    return -1;
  }
  char work[kGuidWorkSize] = {};
  if (getGUID(work, static_cast<int>(sizeof(work))) == -1) {
    INV_LOG_ERROR("getGUID() error !!");
    return -1;
  }
  // 8-4-4-... : the first three groups are little-endian numbers; turn their bytes round.
  if (has_guid_groups(text_of(work, sizeof(work)))) {
    swap_pair(work, 0, 6);
    swap_pair(work, 2, 4);
    swap_pair(work, 9, 11);
    swap_pair(work, 14, 16);
  }
  std::memset(buffer, 0, static_cast<size_t>(length));
  copy_bounded(buffer, static_cast<size_t>(length), text_of(work, sizeof(work)));
  return 0;
}

int QMA_getOSNameString(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return -1;
  (void)getOSNameString(buffer, length);
  return 0;
}

int QMA_getOSProductInfo() {
  return getOSProductInfo(0);
}

void QMA_UseBmcGateForOsInfo() {
  qma::common::OsInfoSource source;
  source.os_name = QMA_getOSNameString;
  source.os_product_info = QMA_getOSProductInfo;
  qma::common::set_os_info_source(std::move(source));
}
