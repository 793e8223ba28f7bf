// Files and folders: case-insensitive lookup, listing attributes, wildcards, moves and copies.
// The move across file systems, names that differ only in case, links in listings and the
// executable mode of copies are tried in test_file_linux.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_fixture.h"
#include "support/temp_roots.h"

namespace qma::platform {
namespace {

namespace fs = std::filesystem;
using test::read_text;

using qma::test::FileTest;
using qma::test::write;

// The names in a folder as the file system spells them, in byte order.
std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(JoinPath, NeverDoublesTheSeparator) {
  EXPECT_EQ(join_path("/srv/logs", "QMA_LOGROOT"),
            std::string("/srv/logs") + kPathSeparator + "QMA_LOGROOT");
  EXPECT_EQ(join_path("/srv/logs/", "QMA_LOGROOT"), "/srv/logs/QMA_LOGROOT");
  EXPECT_EQ(join_path("/srv/logs/", "/QMA_LOGROOT"), "/srv/logs/QMA_LOGROOT");
  EXPECT_EQ(join_path("", "name"), "name");
  EXPECT_EQ(join_path("/", "etc"), "/etc");
}

TEST_F(FileTest, AbsentNameResolvesWithoutRegardToCase) {
  write(dir_ / "Update_normal.xml", "<r/>");
  // Where the file system ignores case itself, the path as asked reaches the file already.
  auto found = [&](const char* asked) {
    return kFileSystemIgnoresCase ? at(asked) : at("Update_normal.xml");
  };
  EXPECT_EQ(resolve_path(at("update_normal.xml")), found("update_normal.xml"));
  EXPECT_EQ(resolve_path(at("UPDATE_NORMAL.XML")), found("UPDATE_NORMAL.XML"));
  EXPECT_TRUE(file_readable(at("update_normal.xml")));
  // Only the last component is looked up; an absent name comes back as given.
  EXPECT_EQ(resolve_path(at("Update_force.xml")), at("Update_force.xml"));
  EXPECT_FALSE(file_readable(at("Update_force.xml")));
  EXPECT_EQ(last_error(), ENOENT);
  // Folders resolve too, and a folder is not a readable file.
  fs::create_directories(dir_ / "Module");
  EXPECT_TRUE(is_directory(at("MODULE")));
  EXPECT_FALSE(file_readable(at("Module")));
  EXPECT_FALSE(is_directory(at("Update_normal.xml")));
}

TEST_F(FileTest, ListingReportsWindowsAttributes) {
  fs::create_directories(dir_ / "sub");
  fs::create_directories(dir_ / ".cache");
  write(dir_ / "plain.txt", "12345");
  write(dir_ / ".hidden", "x");
  write(dir_ / "readonly.txt", "r");
  fs::permissions(dir_ / "readonly.txt", fs::perms(0444));

  auto listing = list_directory(dir_.string());
  ASSERT_TRUE(listing.ok()) << listing.error();
  std::map<std::string, DirEntry> by_name;
  for (const DirEntry& e : *listing) by_name[e.name] = e;

  const std::map<std::string, uint32_t> expected = {
      {".", kAttrDirectory},           {"..", kAttrDirectory},
      {"sub", kAttrDirectory},         {".cache", kAttrDirectory | kAttrHidden},
      {"plain.txt", kAttrNormal},      {".hidden", kAttrHidden},
      {"readonly.txt", kAttrReadOnly},
  };
  ASSERT_EQ(by_name.size(), expected.size());
  for (const auto& [name, attributes] : expected) {
    ASSERT_TRUE(by_name.count(name)) << name;
    EXPECT_EQ(by_name[name].attributes, attributes) << name;
  }
  EXPECT_EQ(by_name["plain.txt"].size, 5u);
  EXPECT_EQ(listing->at(0).name, ".");
  EXPECT_EQ(listing->at(1).name, "..");
}

TEST_F(FileTest, ListingFiltersByPatternWithoutRegardToCase) {
  for (const char* name : {"a.xml", "B.XML", "c.txt", "README"}) write(dir_ / name, "");
  auto xml = list_directory(dir_.string(), "*.xml");
  ASSERT_TRUE(xml.ok());
  std::vector<std::string> names;
  for (const DirEntry& e : *xml) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B.XML", "a.xml"}));

  auto missing = list_directory(at("absent"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(WildcardMatch, WindowsPatterns) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*", "anything", true},
      {"*", ".", true},
      {"*.*", "README", true},
      {"*.*", "a.b.c", true},
      {"*.xml", "Update_normal.XML", true},
      {"*.xml", "xml", false},
      {"?.txt", "a.txt", true},
      {"?.txt", "ab.txt", false},
      {"QMA*.log", "QMAgent.log", true},
      {"QMA*.log", "QMAgent.log.1", false},
      {"*a*b*c", "xxaxxbxxc", true},
      {"*a*b*c", "xxaxxcxxb", false},
      {"README.*", "readme", true},
      {"", "", true},
      {"", "a", false},
      {"a?", "a", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
}

TEST_F(FileTest, MoveRenamesAndRefusesAnExistingTarget) {
  write(dir_ / "CurrentVersion.xml", "current");
  ASSERT_TRUE(move_file(at("CurrentVersion.xml"), at("ExVersion.xml")).ok());
  EXPECT_FALSE(fs::exists(dir_ / "CurrentVersion.xml"));
  EXPECT_EQ(read_text(dir_ / "ExVersion.xml"), "current");

  // A folder moves with everything in it.
  fs::create_directories(dir_ / "old" / "logs");
  write(dir_ / "old" / "logs" / "a.log", "a");
  ASSERT_TRUE(move_file(at("old"), at("new")).ok());
  EXPECT_EQ(read_text(dir_ / "new" / "logs" / "a.log"), "a");

  write(dir_ / "other.xml", "other");
  Status refused = move_file(at("other.xml"), at("exversion.xml"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), EEXIST);
  EXPECT_EQ(read_text(dir_ / "ExVersion.xml"), "current");
  EXPECT_EQ(read_text(dir_ / "other.xml"), "other");

  Status absent = move_file(at("absent"), at("x"));
  EXPECT_EQ(absent.error(), ENOENT);
  EXPECT_EQ(last_error(), ENOENT);
}

TEST_F(FileTest, CopyHonoursOverwriteAndKeepsTheSource) {
  write(dir_ / "Get_version.xml", "new");
  write(dir_ / "CurrentVersion.xml", "old");
  Status refused = copy_file(at("Get_version.xml"), at("CurrentVersion.xml"), false);
  EXPECT_EQ(refused.error(), EEXIST);
  EXPECT_EQ(read_text(dir_ / "CurrentVersion.xml"), "old");

  ASSERT_TRUE(copy_file(at("Get_version.xml"), at("currentversion.xml"), true).ok());
  EXPECT_EQ(read_text(dir_ / "CurrentVersion.xml"), "new");
  EXPECT_EQ(names_in(dir_), (std::vector<std::string>{"CurrentVersion.xml", "Get_version.xml"}));

  std::string big(300 * 1024, 'q');
  write(dir_ / "QMZipControl", big);
  ASSERT_TRUE(copy_file(at("QMZipControl"), at("copy"), false).ok());
  EXPECT_EQ(read_text(dir_ / "copy"), big);

  // Copying a file onto itself must not empty it.
  EXPECT_FALSE(copy_file(at("copy"), at("copy"), true).ok());
  EXPECT_EQ(read_text(dir_ / "copy"), big);

  EXPECT_EQ(copy_file(at("absent"), at("y"), true).error(), ENOENT);
}

TEST_F(FileTest, DeleteAndFolderCallsReportErrno) {
  write(dir_ / "ModuleStatus", "0");
  ASSERT_TRUE(delete_file(at("modulestatus")).ok());
  EXPECT_FALSE(fs::exists(dir_ / "ModuleStatus"));
  EXPECT_EQ(delete_file(at("ModuleStatus")).error(), ENOENT);
  EXPECT_EQ(last_error(), ENOENT);

  ASSERT_TRUE(create_directory(at("12345678")).ok());
  EXPECT_EQ(create_directory(at("12345678")).error(), EEXIST);
  write(dir_ / "12345678" / "f", "");
  EXPECT_EQ(remove_directory(at("12345678")).error(), ENOTEMPTY);
  fs::remove(dir_ / "12345678" / "f");
  EXPECT_TRUE(remove_directory(at("12345678")).ok());
  EXPECT_FALSE(fs::exists(dir_ / "12345678"));
}

}  // namespace
}  // namespace qma::platform
