// The registry's .reg text form, read and written on every system. The Linux registry file
// itself (Win32 call rules, damaged files, concurrent writers) is tested in
// test_registry_store_linux.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registry.h"
#include "platform/registry_text.h"

namespace qma::platform {
namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

TEST(RegistryText, EveryTypeAndSizeSurvivesWritingAndReading) {
  struct Row {
    const char* name;
    RegistryValue value;
    const char* line;
  };
  const Row rows[] = {
      {"dword", {"A", kRegDword, bytes({1, 0, 0, 0})}, "\"A\"=dword:00000001"},
      {"dword high bit", {"A", kRegDword, bytes({0xff, 0xff, 0xff, 0xff})}, "\"A\"=dword:ffffffff"},
      {"string with terminator",
       {"S", kRegSz, std::string("x\\y\"z", 5) + '\0'},
       "\"S\"=\"x\\\\y\\\"z\""},
      {"string without terminator", {"S", kRegSz, "abcd"}, "\"S\"=sz(4):\"abcd\""},
      {"string zero padded",
       {"S", kRegSz, std::string("ab") + std::string(6, '\0')},
       "\"S\"=sz(8):\"ab\""},
      {"empty string no bytes", {"S", kRegSz, ""}, "\"S\"=sz(0):\"\""},
      {"expandable",
       {"P", kRegExpandSz, std::string("%X%\\bin") + '\0'},
       "\"P\"=expand:\"%X%\\\\bin\""},
      {"expandable sized", {"P", kRegExpandSz, "%X%"}, "\"P\"=expand(3):\"%X%\""},
      {"string with line break", {"S", kRegSz, "a\nb"}, "\"S\"=hex(1):61,0a,62"},
      {"string with bytes after zero",
       {"S", kRegSz, bytes({'a', 0, 'b'})},
       "\"S\"=hex(1):61,00,62"},
      {"qword",
       {"Q", kRegQword, bytes({1, 2, 3, 4, 5, 6, 7, 8})},
       "\"Q\"=hex(b):01,02,03,04,05,06,07,08"},
      {"dword of 8 bytes",
       {"D", kRegDword, bytes({1, 0, 0, 0, 0, 0, 0, 0})},
       "\"D\"=hex(4):01,00,00,00,00,00,00,00"},
      {"binary", {"B", kRegBinary, bytes({0, 0xab})}, "\"B\"=hex:00,ab"},
      {"empty binary", {"B", kRegBinary, ""}, "\"B\"=hex:"},
      {"default value", {"", kRegSz, std::string("v") + '\0'}, "@=\"v\""},
      {"name with quote", {"a\"b", kRegDword, bytes({0, 0, 0, 0})}, "\"a\\\"b\"=dword:00000000"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(regtext::format_value(row.value), row.line);
    RegistryValue back;
    ASSERT_TRUE(regtext::parse_value(row.line, back));
    EXPECT_EQ(back.name, row.value.name);
    EXPECT_EQ(back.type, row.value.type);
    EXPECT_EQ(back.data, row.value.data);
  }
}

TEST(RegistryText, DamagedLinesAreRejected) {
  const char* lines[] = {
      "\"A\"=dword:000000001",  // nine digits
      "\"A\"=dword:",
      "\"A\"=dword:xyz",
      "\"A\"=\"unterminated",
      "\"A\"=\"bad \\n escape\"",
      "\"A\"=\"text\" trailing",
      "\"A\"=sz(2):\"abc\"",  // size below the text
      "\"A\"=hex:0g",
      "\"A\"=hex:100",
      "\"A\"=hex(zz):00",
      "\"A\"=hex:01,",
      "\"A\"=-",
      "\"\"=dword:00000001",
      "A=dword:00000001",
      "\"A\"",
  };
  for (const char* line : lines) {
    RegistryValue value;
    EXPECT_FALSE(regtext::parse_value(line, value)) << line;
  }
}

TEST(RegistryText, HexListsContinueOverLinesAndWindowsLineEndingsAreRead) {
  auto doc = regtext::parse(
      "Windows Registry Editor Version "
      "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"B\"=hex:01,02,\\\r\n  03,04\r\n"
      "\"S\"=\"x\"\r\n");
  EXPECT_TRUE(doc.problems.empty());
  auto* key = doc.find_key("k");
  ASSERT_NE(key, nullptr);
  ASSERT_NE(key->find_value("b"), nullptr);
  EXPECT_EQ(key->find_value("b")->value.data, bytes({1, 2, 3, 4}));
  EXPECT_EQ(key->find_value("S")->value.data, std::string("x") + '\0');
}

TEST(RegistryText, MissingParentKeysAreAddedAndRepeatedKeysMerge) {
  auto doc = regtext::parse(
      "[HKEY_LOCAL_MACHINE\\A\\B]\n\"X\"=dword:00000001\n[HKEY_LOCAL_MACHINE\\a\\b]\n\"Y\"="
      "\"y\"\n");
  EXPECT_TRUE(doc.problems.empty());
  ASSERT_NE(doc.find_key("a"), nullptr);
  ASSERT_NE(doc.find_key("A\\B"), nullptr);
  EXPECT_EQ(doc.find_key("A\\B")->entries.size(), 2u);
  EXPECT_EQ(regtext::format(doc),
            "Windows Registry Editor Version "
            "5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n"
            "\"X\"=dword:00000001\n\"Y\"=\"y\"\n\n");
}

}  // namespace
}  // namespace qma::platform
