// Bounded string functions and the line reader: every copy is cut to its buffer and terminated.
#include <cstring>

#include "common/cmn/qmcmn.h"

size_t QMCmnStrnLen(const char* text, size_t max) {
  if (text == nullptr || max == 0) return 0;
  size_t n = 0;
  while (n < max && text[n] != '\0') ++n;
  return n;
}

void QMCmnStrnCpy(char* dest, const char* source, size_t size) {
  if (dest == nullptr || source == nullptr || size == 0) return;
  size_t i = 0;
  for (; i < size - 1 && source[i] != '\0'; ++i) dest[i] = source[i];
  dest[i] = '\0';
}

void QMCmnStrnCat(char* dest, const char* source, size_t size) {
  if (dest == nullptr || source == nullptr || size == 0) return;
  const size_t position = QMCmnStrnLen(dest, size);
  if (position < size - 1) {
    QMCmnStrnCpy(dest + position, source, size - position);
  } else {
    dest[size - 1] = '\0';
  }
}

int QMCmnIsDigit(int c) {
  return (c >= '0' && c <= '9') ? 1 : 0;
}

int QMCmnToUpper(int c) {
  return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

char* QMCmnFGetSwithoutNL(char* buffer, int size, FILE* file) {
  if (buffer == nullptr || size < 1 || file == nullptr) return nullptr;
  char* result = std::fgets(buffer, size, file);
  if (result == nullptr) return nullptr;
  size_t length = std::strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') {
    buffer[--length] = '\0';
    // Files written on Windows end their lines with CR LF; the text-mode reads there drop the
    // CR, so the line reader does too.
    if (length > 0 && buffer[length - 1] == '\r') buffer[length - 1] = '\0';
  }
  return result;
}
