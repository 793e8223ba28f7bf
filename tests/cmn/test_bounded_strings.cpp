// Bounded string functions and the line reader: cuts, terminators and missing arguments.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/cmn/qmcmn.h"

namespace {

TEST(BoundedStrings, CopyCutsAndTerminates) {
  struct Case {
    const char* name;
    const char* source;
    size_t size;
    std::string result;  // what the 8-byte destination holds afterwards
  };
  const std::vector<Case> cases = {
      {"fits", "abc", 8, "abc"},
      {"cut_to_size_minus_one", "abcdefghij", 8, "abcdefg"},
      {"size_one_writes_only_the_terminator", "abc", 1, ""},
      {"size_zero_does_nothing", "abc", 0, "#######"},
      {"missing_source_does_nothing", nullptr, 8, "#######"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char dest[8] = "#######";
    QMCmnStrnCpy(dest, c.source, c.size);
    EXPECT_EQ(std::string(dest), c.result);
  }
  QMCmnStrnCpy(nullptr, "abc", 8);  // a missing destination is ignored
}

TEST(BoundedStrings, LengthStopsAtTheMaximum) {
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(QMCmnStrnLen(unterminated, sizeof unterminated), 4u);
  EXPECT_EQ(QMCmnStrnLen("abc", 10), 3u);
  EXPECT_EQ(QMCmnStrnLen("abc", 0), 0u);
  EXPECT_EQ(QMCmnStrnLen(nullptr, 10), 0u);
}

TEST(BoundedStrings, AppendStaysWithinTheTotalSize) {
  struct Case {
    const char* name;
    const char* start;
    const char* source;
    size_t size;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"fits", "ab", "cd", 8, "abcd"},
      {"cut_at_total_size", "abc", "defghij", 6, "abcde"},
      {"full_destination_only_terminates", "abcde", "x", 6, "abcde"},
      {"empty_destination", "", "xyz", 8, "xyz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char dest[8] = {};
    QMCmnStrnCpy(dest, c.start, sizeof dest);
    QMCmnStrnCat(dest, c.source, c.size);
    EXPECT_EQ(std::string(dest), c.result);
  }
  // A destination without a terminator within the size gets one at size minus one.
  char full[4] = {'a', 'b', 'c', 'd'};
  QMCmnStrnCat(full, "x", sizeof full);
  EXPECT_EQ(std::string(full), "abc");
}

TEST(BoundedStrings, CharacterClasses) {
  EXPECT_EQ(QMCmnIsDigit('0'), 1);
  EXPECT_EQ(QMCmnIsDigit('9'), 1);
  EXPECT_EQ(QMCmnIsDigit('a'), 0);
  EXPECT_EQ(QMCmnIsDigit(0xB2), 0);  // superscript two in Latin-1 is no digit here
  EXPECT_EQ(QMCmnToUpper('a'), 'A');
  EXPECT_EQ(QMCmnToUpper('z'), 'Z');
  EXPECT_EQ(QMCmnToUpper('A'), 'A');
  EXPECT_EQ(QMCmnToUpper(0xE9), 0xE9);
}

TEST(BoundedStrings, LineReaderDropsTheNewline) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::fputs("first\nwindows\r\nlongerline\n\nlast", file);
  std::rewind(file);
  std::vector<std::string> lines;
  char buffer[10];
  while (QMCmnFGetSwithoutNL(buffer, sizeof buffer, file) != nullptr) lines.emplace_back(buffer);
  std::fclose(file);
  // A line longer than the buffer comes in pieces of size minus one characters.
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "windows", "longerlin", "e", "", "last"}));
}

}  // namespace
