// Fuzz target: any bytes as a manager request. The parser must never read past the given
// length, crash or leak, and every text field must stay terminated within its width.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "xmlsub/qmagentsub.h"

namespace {

int quiet_log(const char*, const char*, int, const char*, ...) {
  return 0;
}

template <size_t N>
void check_terminated(const char (&field)[N]) {
  if (std::memchr(field, '\0', N) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QMA_XML_InitParser();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // A block of exactly the input, without a terminator, so any over-read is caught.
  std::unique_ptr<char[]> message(new char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(message.get(), data, size);
  ReqInfo req{};
  QMAConfig config{};
  const int result = QMA_XML_GetManagerRequestInfo(quiet_log, message.get(), static_cast<int>(size),
                                                   &req, &config);
  if (result != 0 && result != 1) std::abort();
  check_terminated(req.MessageVersion);
  check_terminated(req.MessageID);
  check_terminated(req.CommandCode);
  check_terminated(req.QMMData.ModuleID);
  check_terminated(req.QMMData.PackageID);
  check_terminated(req.QMMData.Mode);
  check_terminated(req.QMMData.ReplyToAddress);
  check_terminated(req.QMMData.ReplyToPort);
  check_terminated(req.QMMData.FileName);
  check_terminated(req.QMMData.OptionID);
  check_terminated(config.SavedReplyToAddress);
  check_terminated(config.SavedReplyToPort);
  return 0;
}
