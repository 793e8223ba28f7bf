// The pipe's frame layout, independent of the host's byte order.
#include "manager_if/frame_codec.h"

#include <cstring>

namespace qma::manager_if {

uint32_t read_le32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void write_le32(char* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

static_assert(kFrameBufferBudget == 64u * 1024u * 1024u, "the refusal's text names the budget");

const char* frame_error_text(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return "no error";
    case FrameError::kBodyTooShort:
      return "body shorter than 516 bytes";
    case FrameError::kBodyTooLarge:
      return "body too large";
    case FrameError::kTextTooLong:
      return "text length beyond the body";
    case FrameError::kFileNameNotTerminated:
      return "file name field without a zero byte";
    case FrameError::kDirectoryNotTerminated:
      return "directory field without a zero byte";
    case FrameError::kBudgetExhausted:
      return "frames of all connections would pass 64 MiB";
  }
  return "unknown";
}

FrameError check_body_length(uint32_t body_length) {
  if (body_length < kFrameFixedBody) return FrameError::kBodyTooShort;
  if (body_length > kFrameMaxBody) return FrameError::kBodyTooLarge;
  return FrameError::kNone;
}

FrameError decode_request_body(const char* body, uint32_t body_length, RequestBody* out) {
  if (FrameError e = check_body_length(body_length); e != FrameError::kNone) return e;
  const char* name_end = static_cast<const char*>(std::memchr(body, '\0', kFrameNameSize));
  if (name_end == nullptr) return FrameError::kFileNameNotTerminated;
  const char* dir = body + kFrameNameSize;
  const char* dir_end = static_cast<const char*>(std::memchr(dir, '\0', kFrameNameSize));
  if (dir_end == nullptr) return FrameError::kDirectoryNotTerminated;
  uint32_t text_length = read_le32(body + 2 * kFrameNameSize);
  if (text_length > body_length - kFrameFixedBody) return FrameError::kTextTooLong;
  out->file_name = std::string_view(body, static_cast<size_t>(name_end - body));
  out->directory = std::string_view(dir, static_cast<size_t>(dir_end - dir));
  out->text = std::string_view(body + kFrameFixedBody, text_length);
  return FrameError::kNone;
}

std::string encode_frame(uint32_t word1, uint32_t word2, std::string_view file_name,
                         std::string_view directory, std::string_view text) {
  std::string frame(kFrameHeaderSize + kFrameFixedBody + text.size(), '\0');
  char* p = frame.data();
  write_le32(p, word1);
  write_le32(p + 4, word2);
  write_le32(p + 8, static_cast<uint32_t>(kFrameFixedBody + text.size()));
  p += kFrameHeaderSize;
  std::memcpy(p, file_name.data(),
              file_name.size() < kFrameNameSize ? file_name.size() : kFrameNameSize - 1);
  std::memcpy(p + kFrameNameSize, directory.data(),
              directory.size() < kFrameNameSize ? directory.size() : kFrameNameSize - 1);
  write_le32(p + 2 * kFrameNameSize, static_cast<uint32_t>(text.size()));
  std::memcpy(p + kFrameFixedBody, text.data(), text.size());
  return frame;
}

}  // namespace qma::manager_if
