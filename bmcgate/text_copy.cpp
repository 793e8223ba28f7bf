// Cutting texts to fixed buffers without splitting a character.
#include "bmcgate/text_copy.h"

#include <cstring>

namespace qma::bmcgate {

std::string_view cut_text(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t end = max_bytes;
  // Step back over continuation bytes to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void copy_to_buffer(char* buffer, size_t size, std::string_view text) {
  if (buffer == nullptr || size == 0) return;
  std::memset(buffer, 0, size);
  const std::string_view cut = cut_text(text, size - 1);
  std::memcpy(buffer, cut.data(), cut.size());
}

}  // namespace qma::bmcgate
