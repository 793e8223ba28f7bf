// The pipe's frame: a 12-byte header, two 256-byte name fields, the text length and the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qma::manager_if {

inline constexpr uint32_t kFrameHeaderSize = 12;
inline constexpr uint32_t kFrameNameSize = 256;
/// Body bytes before the text: two name fields and the text length.
inline constexpr uint32_t kFrameFixedBody = 2 * kFrameNameSize + 4;
/// The largest body the agent accepts. Requests are short XML texts (a package
/// travels as a file beside the frame); anything larger is refused unread.
inline constexpr uint32_t kFrameMaxBody = 16u * 1024u * 1024u;
/// The bytes the received frames of all connections may hold at once (each frame's buffer,
/// 12 + N + 1 bytes, counts from the moment its header is read until its request ends). A
/// frame whose buffer would pass it is refused as malformed, so however many clients send
/// large frames, the agent holds no more than this for them.
inline constexpr uint64_t kFrameBufferBudget = 64u * 1024u * 1024u;
/// First two header words of every response.
inline constexpr uint32_t kResponseWord1 = 2;
inline constexpr uint32_t kResponseWord2 = 1;

/// Little-endian 32-bit words, whatever the host's byte order.
uint32_t read_le32(const char* bytes);
void write_le32(char* bytes, uint32_t value);

enum class FrameError {
  kNone,
  kBodyTooShort,            // N < 516
  kBodyTooLarge,            // N > kFrameMaxBody
  kTextTooLong,             // L > N - 516
  kFileNameNotTerminated,   // no zero byte in the first name field
  kDirectoryNotTerminated,  // no zero byte in the second name field
  kBudgetExhausted          // the frames of all connections would pass kFrameBufferBudget
};
/// A short text for log lines.
const char* frame_error_text(FrameError error);

/// Checks the body length of a received header before anything is allocated.
FrameError check_body_length(uint32_t body_length);

/// The parts of a request body, pointing into it.
struct RequestBody {
  std::string_view file_name;
  std::string_view directory;
  std::string_view text;
};
/// Splits a body of body_length bytes (already checked by check_body_length)
/// without reading past it.
FrameError decode_request_body(const char* body, uint32_t body_length, RequestBody* out);

/// A whole frame: header words, the name fields (cut to 255 bytes and zero-padded)
/// and the text.
std::string encode_frame(uint32_t word1, uint32_t word2, std::string_view file_name,
                         std::string_view directory, std::string_view text);

}  // namespace qma::manager_if
