// Cutting texts to fixed buffers without splitting a character.
#pragma once

#include <cstddef>
#include <string_view>

namespace qma::bmcgate {

/// The longest prefix of text of at most max_bytes bytes that does not end inside
/// a UTF-8 sequence.
std::string_view cut_text(std::string_view text, size_t max_bytes);

/// Zeroes the buffer and copies the text into it, cut to size - 1 bytes.
void copy_to_buffer(char* buffer, size_t size, std::string_view text);

}  // namespace qma::bmcgate
