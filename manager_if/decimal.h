// Decimal values of request texts: a command code as the C run-time's conversion reads it, and
// a time limit or port by its leading digits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qma::manager_if {

/// Leading blanks, an optional sign and digits, read within max characters; 0
/// when there are no digits. Values beyond the int range are clamped, never wrap.
inline int decimal_value(const char* text, size_t max) {
  if (text == nullptr) return 0;
  size_t i = 0;
  while (i < max && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < max && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < max && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value <= 2147483648LL) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return 2147483647;
  if (value < -2147483647LL - 1) return -2147483647 - 1;
  return static_cast<int>(value);
}

/// The number that the text's leading digits give, read within max characters: neither blanks
/// nor a sign are skipped, so a text that does not begin with a digit gives 0. Values beyond
/// the int range are clamped.
inline int leading_digits_value(const char* text, size_t max) {
  if (text == nullptr) return 0;
  long long value = 0;
  for (size_t i = 0; i < max && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value <= 2147483647LL) value = value * 10 + (text[i] - '0');
  }
  return value > 2147483647LL ? 2147483647 : static_cast<int>(value);
}

/// A handle or table address as the number that log lines print in decimal ("[0]" for none).
inline long long pointer_number(const void* pointer) {
  return static_cast<long long>(reinterpret_cast<intptr_t>(pointer));
}

}  // namespace qma::manager_if
