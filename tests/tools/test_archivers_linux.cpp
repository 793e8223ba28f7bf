// QMAzip and QMAunz on Linux: unpacking modes and symbolic links, links already in the folder
// that an archive would write through, and packing with links among the files named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_roots.h"
#include "tools/tool_runner.h"
#include "tools/unpacking_fixture.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::Hostile;
using qma::test::kZipFile;
using qma::test::kZipFolder;
using qma::test::kZipLink;
using qma::test::kZipTool;
using qma::test::read_text;
using qma::test::run_tool;
using qma::test::tree_of;
using qma::test::Unpacking;
using qma::test::write_zip;
using qma::test::ZipItem;

TEST_F(Unpacking, ExistingLinksInTheFolderAreNeverFollowed) {
  const std::string filler(64, 'g');
  const Hostile rows[] = {
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
  expect_refused_whole(rows);
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
