// QMAunz as a program: every hostile archive refused whole, with nothing written inside or
// outside the folder. Unpacking modes and links, links already in the folder and packing with
// QMAzip are tried in test_archivers_linux.cpp.
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
         // From the root of the file system (of the current drive, where drives are named).
         return std::vector<ZipItem>{
             {"fine.txt", filler},
             {"/" + (base / "abs.txt").relative_path().generic_string(), "evil"}};
       },
       "is an absolute name",
       {"abs.txt"}},
      {"drive name",
       [&](const fs::path&) {
         return std::vector<ZipItem>{{"fine.txt", filler}, {"C:abs.txt", "evil"}};
       },
       "'C:abs.txt' names a drive",
       {"abs.txt", "a/b/work/C:abs.txt"}},
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
  };
  expect_refused_whole(rows);
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

}  // namespace
