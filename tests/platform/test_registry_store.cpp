// The registry store: .reg text form, Win32 call rules, damaged files and concurrent writers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/registry_text.h"
#include "tests/support/temp_roots.h"

namespace qma::platform {
namespace {

using qma::test::read_text;
using qma::test::TempRoots;

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

void write_registry(const TempRoots& roots, const std::string& text) {
  std::ofstream(roots.state() / "registry.reg", std::ios::binary) << text;
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

TEST(RegistryStore, QueryFollowsTheWin32BufferRules) {
  TempRoots roots;
  RegistryKey key;
  bool created = false;
  ASSERT_EQ(reg_create_key("SOFTWARE\\Norvik\\Test", key, &created), 0);
  EXPECT_TRUE(created);
  ASSERT_EQ(reg_create_key("software\\norvik\\TEST", key, &created), 0);
  EXPECT_FALSE(created);
  EXPECT_EQ(key.path, "SOFTWARE\\Norvik\\Test");
  ASSERT_EQ(reg_set_value(key, "Text", kRegSz, "hello", 6), 0);

  uint32_t type = 0, size = 0;
  EXPECT_EQ(reg_query_value(key, "TEXT", &type, nullptr, &size), 0);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 6u);
  char small[4] = {};
  size = sizeof small;
  EXPECT_EQ(reg_query_value(key, "text", &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, 6u);
  char big[16] = {};
  size = sizeof big;
  EXPECT_EQ(reg_query_value(key, "text", nullptr, big, &size), 0);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(big, "hello");
  EXPECT_EQ(reg_query_value(key, "absent", &type, big, &size), kErrorFileNotFound);

  RegistryKey other;
  EXPECT_EQ(reg_open_key("SOFTWARE\\Norvik\\Nothing", other), kErrorFileNotFound);
  EXPECT_EQ(reg_open_key("\\SOFTWARE", other), kErrorBadPathname);
  EXPECT_EQ(reg_open_key("SOFTWARE\\\\Norvik", other), kErrorBadPathname);
  EXPECT_EQ(reg_open_key("software\\NORVIK", other), 0);
  EXPECT_EQ(other.path, "SOFTWARE\\Norvik");
}

TEST(RegistryStore, NamesKeepTheirFirstCaseAndTypesAndSizesSurviveRewrites) {
  TempRoots roots;
  RegistryKey key;
  ASSERT_EQ(reg_create_key("SOFTWARE\\K", key), 0);
  const RegistryValue values[] = {
      {"Dword", kRegDword, bytes({7, 0, 0, 0})},
      {"Qword", kRegQword, bytes({1, 0, 0, 0, 0, 0, 0, 0})},
      {"Padded", kRegSz, std::string("/srv") + std::string(256, '\0')},
      {"Bare", kRegSz, "abc"},
      {"Expand", kRegExpandSz, std::string("%A%") + '\0'},
      {"Bin", kRegBinary, bytes({0, 1, 2})},
  };
  for (const auto& v : values)
    ASSERT_EQ(reg_set_value(key, v.name, v.type, v.data.data(), v.data.size()), 0);
  ASSERT_EQ(reg_set_value(key, "DWORD", kRegDword, "\x09\0\0\0", 4), 0);  // same value, other case
  ASSERT_EQ(reg_set_value(key, "Later", kRegDword, "\0\0\0\0", 4), 0);    // one more rewrite

  std::vector<RegistryValue> read;
  ASSERT_EQ(reg_enum_values(key, read), 0);
  ASSERT_EQ(read.size(), std::size(values) + 1);
  EXPECT_EQ(read[0].name, "Dword");
  EXPECT_EQ(read[0].data, bytes({9, 0, 0, 0}));
  for (size_t i = 1; i < std::size(values); ++i) {
    SCOPED_TRACE(values[i].name);
    EXPECT_EQ(read[i].name, values[i].name);
    EXPECT_EQ(read[i].type, values[i].type);
    EXPECT_EQ(read[i].data, values[i].data);
  }
  EXPECT_EQ(registry_file_problem(), "");
}

TEST(RegistryStore, DeleteRemovesValuesAndWholeSubtrees) {
  TempRoots roots;
  RegistryKey key, child, sibling;
  ASSERT_EQ(reg_create_key("S\\K", key), 0);
  ASSERT_EQ(reg_create_key("S\\K\\Child\\Deep", child), 0);
  ASSERT_EQ(reg_create_key("S\\Kx", sibling), 0);
  ASSERT_EQ(reg_set_value(key, "V", kRegDword, "\1\0\0\0", 4), 0);

  std::vector<std::string> names;
  RegistryKey s;
  ASSERT_EQ(reg_open_key("S", s), 0);
  ASSERT_EQ(reg_enum_subkeys(s, names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"K", "Kx"}));

  EXPECT_EQ(reg_delete_value(key, "v"), 0);
  EXPECT_EQ(reg_delete_value(key, "v"), kErrorFileNotFound);
  EXPECT_EQ(reg_delete_key("s\\k"), 0);
  EXPECT_EQ(reg_open_key("S\\K\\Child", child), kErrorFileNotFound);
  EXPECT_EQ(reg_open_key("S\\Kx", sibling), 0);
  EXPECT_EQ(reg_set_value(key, "V", kRegDword, "\1\0\0\0", 4), kErrorKeyDeleted);
  EXPECT_EQ(reg_delete_key("S\\K"), kErrorFileNotFound);
  EXPECT_EQ(reg_delete_key(""), kErrorAccessDenied);
}

TEST(RegistryStore, DamagedFilesGiveWhatIsReadableAndLoseNothingOnRewrite) {
  struct Row {
    const char* name;
    const char* text;
    bool problem;
  };
  const Row rows[] = {
      {"empty file", "", true},
      {"garbage lines",
       "Windows Registry Editor Version "
       "5.00\n\n[HKEY_LOCAL_MACHINE\\Other]\n\"Keep\"=dword:00000005\n"
       "this is not a registry "
       "line\n\"Broken\"=dword:zz\n\n[HKEY_CURRENT_USER\\Elsewhere]\n\"U\"=\"u\"\n",
       true},
      {"cut in the middle of a line",
       "[HKEY_LOCAL_MACHINE\\Other]\n\"Keep\"=dword:00000005\n\"Cut\"=\"half a val", true},
      {"binary junk", "\x01\x02\xff\n[HKEY_LOCAL_MACHINE\\Other]\n\"Keep\"=dword:00000005\n", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempRoots roots;
    write_registry(roots, row.text);
    RegistryKey key;
    ASSERT_EQ(reg_create_key("SOFTWARE\\New", key), 0);
    EXPECT_EQ(!registry_file_problem().empty(), row.problem) << registry_file_problem();
    ASSERT_EQ(reg_set_value(key, "N", kRegDword, "\2\0\0\0", 4), 0);

    std::string after = read_text(roots.state() / "registry.reg");
    std::string before = row.text;
    // Every line that was there before is still there, in the same order.
    size_t at = 0;
    size_t start = 0;
    while (start < before.size()) {
      size_t nl = before.find('\n', start);
      std::string line =
          before.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      start = nl == std::string::npos ? before.size() : nl + 1;
      if (line.empty()) continue;
      size_t found = after.find(line, at);
      ASSERT_NE(found, std::string::npos) << "lost line: " << line << "\nfile now:\n" << after;
      at = found + line.size();
    }
    RegistryKey other;
    uint32_t value = 0, size = sizeof value;
    if (before.find("Keep") != std::string::npos) {
      ASSERT_EQ(reg_open_key("Other", other), 0);
      ASSERT_EQ(reg_query_value(other, "Keep", nullptr, &value, &size), 0);
      EXPECT_EQ(value, 5u);
    }
    ASSERT_EQ(reg_query_value(key, "N", nullptr, &value, &size), 0);
    EXPECT_EQ(value, 2u);
  }
}

TEST(RegistryStore, AMissingFileIsAnEmptyRegistryAndAStateFolderIsMadeOnWrite) {
  TempRoots roots;
  setenv("QMA_STATE_DIR", (roots.state() / "not" / "yet").c_str(), 1);
  RegistryKey key;
  EXPECT_EQ(reg_open_key("SOFTWARE", key), kErrorFileNotFound);
  EXPECT_EQ(registry_file_problem(), "");
  ASSERT_EQ(reg_create_key("SOFTWARE", key), 0);
  EXPECT_TRUE(std::filesystem::exists(roots.state() / "not" / "yet" / "registry.reg"));
}

TEST(RegistryStore, TwoProcessesWritingAtOnceLoseNoValue) {
  TempRoots roots;
  RegistryKey key;
  ASSERT_EQ(reg_create_key("SOFTWARE\\Race", key), 0);
  constexpr int kPerChild = 200;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int failures = 0;
      for (int i = 0; i < kPerChild; ++i) {
        std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
        uint32_t v = static_cast<uint32_t>(c * 1000 + i);
        if (reg_set_value(key, name, kRegDword, &v, sizeof v) != 0) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<RegistryValue> values;
  ASSERT_EQ(reg_enum_values(key, values), 0);
  EXPECT_EQ(values.size(), 2u * kPerChild);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kPerChild; ++i) {
      uint32_t v = 0, size = sizeof v;
      ASSERT_EQ(reg_query_value(key, "c" + std::to_string(c) + "_" + std::to_string(i), nullptr, &v,
                                &size),
                0);
      EXPECT_EQ(v, static_cast<uint32_t>(c * 1000 + i));
    }
  }
  EXPECT_EQ(registry_file_problem(), "");
}

}  // namespace
}  // namespace qma::platform
