// QMAzip and QMAunz as programs: packing and unpacking real archives, and every hostile
// archive refused whole, with nothing written inside or outside the folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_roots.h"
#include "tools/tool_runner.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::kZipFile;
using qma::test::kZipFolder;
using qma::test::kZipLink;
using qma::test::kZipTool;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::tree_of;
using qma::test::write_zip;
using qma::test::ZipItem;

// Unpacking happens in base/a/b/work, so that "../.." and longer climbs land in
// folders the test owns and can inspect.
class Unpacking : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = qma::test::make_temp_dir("unz");
    work_ = base_ / "a" / "b" / "work";
    outside_ = base_ / "outside";
    fs::create_directories(work_);
    fs::create_directories(outside_);
    archive_ = base_ / "pkg.zip";
  }
  void TearDown() override { fs::remove_all(base_); }

  qma::test::ToolResult unpack(const qma::test::ToolEnvironment& environment = {}) {
    return run_tool({QMAUNZ_PATH, "-x", "-o", archive_.string()}, work_, environment);
  }

  fs::path base_, work_, outside_, archive_;
};

struct Hostile {
  const char* what;
  std::function<std::vector<ZipItem>(const fs::path& base)> items;
  const char* reason;                // expected in the refusal line
  std::vector<std::string> escapes;  // relative to base: must not exist afterwards
  std::function<void(const fs::path& base, const fs::path& archive)> damage = nullptr;
  std::function<void(const fs::path& work, const fs::path& base)> prepare = nullptr;
  const char* limit = nullptr;  // QMAUNZ_MAX_BYTES
};

TEST_F(Unpacking, HostileArchivesAreRefusedWholeAndWriteNothing) {
  const std::string filler(64, 'g');
  const Hostile rows[] = {
      {"dot-dot components",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"fine.txt", filler}, {"../../x", "evil"}};
       },
       "'../../x' climbs out of the folder with '..'",
       {"a/x"}},
      {"absolute name",
       [&](const fs::path& base) {
         return std::vector<ZipItem>{{"fine.txt", filler}, {(base / "abs.txt").string(), "evil"}};
       },
       "is an absolute name",
       {"abs.txt"}},
      {"backslashes that climb out",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"fine.txt", filler}, {"..\\..\\y", "evil"}};
       },
       "'..\\..\\y' climbs out of the folder with '..'",
       {"a/y", "a/b/work/..\\..\\y"}},
      {"link out of the folder, then a file written through it",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"lnk", "../../../outside", kZipLink},
                                     {"lnk/evil.txt", "evil"}};
       },
       "'lnk/evil.txt' would be written through the symbolic link 'lnk'",
       {"outside/evil.txt", "a/b/work/lnk"}},
      {"file written through a link that comes later",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"lnk/evil.txt", "evil"},
                                     {"lnk", "../../../outside", kZipLink}};
       },
       "'lnk' is a symbolic link and a folder",
       {"outside/evil.txt", "a/b/work/lnk"}},
      {"link that climbs out",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"fine.txt", filler}, {"out", "sub/../../..", kZipLink}};
       },
       "the symbolic link 'out' points outside the folder",
       {"a/b/work/out"}},
      {"absolute link",
       [&](const fs::path& base) {
         return std::vector<ZipItem>{{"abs", (base / "outside").string(), kZipLink}};
       },
       "the symbolic link 'abs' points outside the folder",
       {"a/b/work/abs"}},
      {"link that climbs out through another link",
       [&](const fs::path&) {
         // Read as text, "x/.." is the folder itself; followed, it is the folder's parent.
         return std::vector<ZipItem>{{"x", ".", kZipLink}, {"y", "x/..", kZipLink}};
       },
       "the symbolic link 'y' points through the symbolic link 'x'",
       {"a/b/work/x", "a/b/work/y"}},
      {"duplicate entry",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"dup.txt", "first"}, {"dup.tx2", "second"}};
       },
       "'dup.txt' appears twice",
       {},
       [](const fs::path&, const fs::path& archive) {
         qma::test::patch_bytes(archive, "dup.tx2", "dup.txt");
       }},
      {"corrupt central directory",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"one.txt", filler}, {"two.txt", filler}};
       },
       "the archive cannot be read",
       {},
       [](const fs::path&, const fs::path& archive) {
         qma::test::patch_bytes(archive, std::string("PK\x01\x02", 4), "PK\x09\x09");
       }},
      {"damaged data after a sound file",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"good.txt", "GOODGOODGOODGOOD", kZipFile, true},
                                     {"bad.txt", "BADBADBADBADBAD", kZipFile, true}};
       },
       "'bad.txt' is damaged",
       {},
       [](const fs::path&, const fs::path& archive) {
         qma::test::patch_bytes(archive, "BADBADBAD", "XADBADBAD");
       }},
      {"expands past the limit",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"small.txt", "s"}, {"big.txt", std::string(2000, 'a')}};
       },
       "it expands past the limit of 1000 bytes",
       {},
       nullptr,
       nullptr,
       "1000"},
      {"top-level entry with the name of the refusal report",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"fine.txt", filler},
                                     {"PKG.ZIP.ERR", "QMAunz: refused by a forged report\n"}};
       },
       "'PKG.ZIP.ERR' has the name of the refusal report 'pkg.zip.err'",
       {"a/b/work/PKG.ZIP.ERR", "a/b/work/fine.txt"}},
      {"link to an existing link in the folder that points outside",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"fine.txt", filler}, {"l", "dlink", kZipLink}};
       },
       "the symbolic link 'l' points to the existing symbolic link 'dlink'",
       {"a/b/work/l", "a/b/work/fine.txt"},
       nullptr,
       [](const fs::path& work, const fs::path& base) {
         fs::create_directory_symlink(base / "outside", work / "dlink");
       }},
      {"existing link in the folder",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"pre/evil.txt", "evil"}};
       },
       "'pre/evil.txt' would be written through the existing symbolic link 'pre'",
       {"outside/evil.txt"},
       nullptr,
       [](const fs::path& work, const fs::path& base) {
         fs::create_directory_symlink(base / "outside", work / "pre");
       }},
  };
  for (const Hostile& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(work_);
    fs::create_directories(work_);
    fs::remove(archive_.string() + ".err");
    if (row.prepare) row.prepare(work_, base_);
    auto before = tree_of(base_);
    ASSERT_TRUE(write_zip(archive_, row.items(base_)));
    if (row.damage) row.damage(base_, archive_);

    qma::test::ToolEnvironment environment;
    if (row.limit != nullptr) environment.set.emplace_back("QMAUNZ_MAX_BYTES", row.limit);
    auto result = unpack(environment);

    EXPECT_EQ(result.status, 2);
    std::string line = "QMAunz: refused " + archive_.string() + ": ";
    EXPECT_EQ(result.err.rfind(line, 0), 0u) << result.err;
    EXPECT_NE(result.err.find(row.reason), std::string::npos) << result.err;
    EXPECT_EQ(read_text(archive_.string() + ".err"), result.err);
    for (const std::string& escape : row.escapes) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(base_ / escape))) << escape;
    }
    // Nothing at all was written: the tree is as before, apart from the archive and its report.
    auto after = tree_of(base_);
    std::erase(after, "pkg.zip");
    std::erase(after, "pkg.zip.err");
    std::erase(before, "pkg.zip");
    std::erase(before, "pkg.zip.err");
    EXPECT_EQ(after, before);
  }
}

TEST_F(Unpacking, SoundArchiveUnpacksWithModesLinksAndEmptyFiles) {
  std::ofstream(work_ / "QuillInfo.xml") << "old descriptor";
  fs::create_symlink(outside_ / "target.txt", work_ / "old_link");
  std::ofstream(outside_ / "target.txt") << "outside stays";
  ASSERT_TRUE(write_zip(archive_, {{"bin/", "", kZipFolder},
                                   {"bin/tool.sh", "#!/bin/sh\n", 0100775},
                                   {"data/empty.txt", ""},
                                   {"QuillInfo.xml", "<quillmend_package/>"},
                                   {"old_link", "a file now"},
                                   {"current", "bin/tool.sh", kZipLink},
                                   {"lib/tool.link", "../bin/tool.sh", kZipLink},
                                   {"./", "", kZipFolder}}));
  auto result = unpack();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(tree_of(work_),
            (std::vector<std::string>{"QuillInfo.xml", "bin", "bin/tool.sh", "current", "data",
                                      "data/empty.txt", "lib", "lib/tool.link", "old_link"}));
  EXPECT_EQ(read_text(work_ / "QuillInfo.xml"), "<quillmend_package/>");
  // Group write is never given; the tool stays executable.
  EXPECT_EQ(fs::status(work_ / "bin/tool.sh").permissions(),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                fs::perms::others_read | fs::perms::others_exec);
  EXPECT_EQ(fs::file_size(work_ / "data/empty.txt"), 0u);
  EXPECT_EQ(fs::read_symlink(work_ / "current"), "bin/tool.sh");
  EXPECT_EQ(read_text(work_ / "lib/tool.link"), "#!/bin/sh\n");
  // The old link was replaced by a file, not written through.
  EXPECT_FALSE(fs::is_symlink(work_ / "old_link"));
  EXPECT_EQ(read_text(work_ / "old_link"), "a file now");
  EXPECT_EQ(read_text(outside_ / "target.txt"), "outside stays");
  EXPECT_FALSE(fs::exists(archive_.string() + ".err"));

  // Without -o an existing file is a refusal, before anything is written.
  std::ofstream(work_ / "QuillInfo.xml") << "kept";
  auto again = run_tool({QMAUNZ_PATH, "-x", archive_.string()}, work_);
  EXPECT_EQ(again.status, 2);
  EXPECT_NE(again.err.find("exists (-o replaces it)"), std::string::npos) << again.err;
  EXPECT_EQ(read_text(work_ / "QuillInfo.xml"), "kept");
}

TEST_F(Unpacking, ArchiverUsageErrors) {
  for (const std::vector<std::string>& argv : {std::vector<std::string>{QMAUNZ_PATH},
                                               {QMAUNZ_PATH, "-q", "pkg.zip"},
                                               {QMAUNZ_PATH, "-x", "a.zip", "b.zip"},
                                               {QMAZIP_PATH, "-o", "only.zip"}}) {
    auto result = run_tool(argv, work_);
    EXPECT_EQ(result.status, 1) << argv.back();
    EXPECT_EQ(result.err.rfind("usage: ", 0), 0u) << result.err;
  }
  EXPECT_EQ(tree_of(work_), std::vector<std::string>{});
}

TEST(Packing, PacksRegularFilesUnderBaseNamesAndSkipsTheRest) {
  qma::test::TempRoots roots;
  fs::path logs = roots.base() / "logs";
  fs::create_directories(logs / "sub");
  fs::create_directories(logs / "dir.log");
  std::ofstream(logs / "QMAgent.log") << "agent log line\n";
  std::ofstream(logs / "empty.log");
  std::ofstream(logs / "sub" / "QMAgent.log") << "same base name";
  std::ofstream(roots.base() / "secret") << "not for the archive";
  fs::create_symlink(roots.base() / "secret", logs / "link.log");
  fs::path archive = logs / "QMAgentLog.zip";

  auto result = run_tool({QMAZIP_PATH, "-o", archive.string(), "QMAgent.log", "empty.log",
                          "gone.log", "link.log", "dir.log", "sub/QMAgent.log"},
                         logs);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "QMAzip: skipped gone.log: it does not exist\n"
            "QMAzip: skipped link.log: it is a symbolic link\n"
            "QMAzip: skipped dir.log: it is not a regular file\n"
            "QMAzip: skipped sub/QMAgent.log: an entry named QMAgent.log is packed already\n");
  auto tested = run_tool({"/usr/bin/unzip", "-t", archive.string()});
  EXPECT_EQ(tested.status, 0) << tested.out;
  EXPECT_NE(tested.out.find("No errors detected"), std::string::npos) << tested.out;

  fs::path out = roots.base() / "out";
  fs::create_directories(out);
  auto unpacked = run_tool({QMAUNZ_PATH, "-x", "-o", archive.string()}, out);
  EXPECT_EQ(unpacked.status, 0) << unpacked.err;
  EXPECT_EQ(tree_of(out), (std::vector<std::string>{"QMAgent.log", "empty.log"}));
  EXPECT_EQ(read_text(out / "QMAgent.log"), "agent log line\n");

  // An existing archive is replaced only with -o; with nothing to pack no archive is written.
  auto kept = run_tool({QMAZIP_PATH, archive.string(), "empty.log"}, logs);
  EXPECT_EQ(kept.status, 2);
  EXPECT_NE(kept.err.find("it exists (-o replaces it)"), std::string::npos) << kept.err;
  auto nothing = run_tool({QMAZIP_PATH, "-o", (logs / "none.zip").string(), "gone.log"}, logs);
  EXPECT_EQ(nothing.status, 2);
  EXPECT_NE(nothing.err.find("nothing to pack"), std::string::npos) << nothing.err;
  EXPECT_FALSE(fs::exists(logs / "none.zip"));
}

}  // namespace
