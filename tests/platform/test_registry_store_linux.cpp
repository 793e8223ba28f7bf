// The Linux registry file: Win32 call rules, damaged files and concurrent writers.
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
  qma::test::set_env("QMA_STATE_DIR", (roots.state() / "not" / "yet").string());
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
