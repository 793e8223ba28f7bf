// Package registration on Linux: an upload on a file system of its own (a tmpfs in a private
// mount namespace) is copied into the module folder, and a module folder that is a link is
// left alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "commands/package/package_repository.h"
#include "commands/package_repository_fixture.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"
#include "tools/tool_runner.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::kZipLink;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;
using qma::test::run_tool;
using qma::test::tree_of;
using qma::test::write_zip;
using qma::test::ZipItem;

using qma::test::answer_of;
using qma::test::kModule;
using qma::test::PackageRepository;

// Where the upload folder is a file system of its own (as /var often is on servers), the
// upload cannot be renamed into the module folder: it is copied in whole and then deleted.
// The test runs itself once more in a private mount namespace with a tmpfs on the upload
// folder, so the host's mounts are never touched.
TEST_F(PackageRepository, UploadOnAnotherFileSystemIsCopiedIntoTheModuleFolder) {
  if (std::getenv("QMA_TEST_UPLOAD_ON_TMPFS") == nullptr) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    auto run = run_tool({"/usr/bin/unshare", "--mount", "--propagation", "private", "--", self,
                         "--gtest_filter=PackageRepository."
                         "UploadOnAnotherFileSystemIsCopiedIntoTheModuleFolder"},
                        {}, {{{"QMA_TEST_UPLOAD_ON_TMPFS", "1"}}, {}});
    // Never a pass without the second file system: that needs root for the namespace.
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test."), std::string::npos) << run.out;
    return;
  }
  const fs::path uploads = agent_.roots_.state() / "upload";
  fs::create_directories(uploads);
  auto mounted = run_tool({"/usr/bin/mount", "-t", "tmpfs", "qma-test-upload", uploads.string()});
  ASSERT_EQ(mounted.status, 0) << mounted.err;
  // Unmounted again before the roots are removed, so that nothing of them is left behind.
  struct Unmount {
    std::string folder;
    ~Unmount() { (void)run_tool({"/usr/bin/umount", "--lazy", folder}); }
  } unmount{uploads.string()};
  fs::create_directories(drop_);
  struct stat upload_fs {};
  struct stat package_fs {};
  ASSERT_EQ(stat(drop_.c_str(), &upload_fs), 0);
  ASSERT_EQ(stat(root().c_str(), &package_fs), 0);
  ASSERT_NE(upload_fs.st_dev, package_fs.st_dev) << "the two folders share a file system";

  const std::string big(3 * 1024 * 1024 + 7, 'z');  // more than one piece of the copy
  ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"QuillInfo.xml", "<quillmend_package/>"},
                                            {"tool.sh", "#!/bin/sh\nexit 0\n", 0100755},
                                            {"big.dat", big, qma::test::kZipFile, true}}));
  EXPECT_EQ(register_package("pkg.zip"), answer_of("R", "2", "600"));
  EXPECT_EQ(tree_of(module()),
            (std::vector<std::string>{"ModuleStatus", "QuillInfo.xml", "big.dat", "tool.sh"}))
      << "no temporary copy is left behind";
  EXPECT_EQ(read_text(module() / "big.dat"), big);
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus(kModule, nullptr), 0);
  EXPECT_EQ(tree_of(drop_), std::vector<std::string>{}) << "the upload was deleted after the copy";
  EXPECT_EQ(agent_.count_in_log("Upload not moved."), 0);
  EXPECT_EQ(agent_.count_in_log("Package not unpacked."), 0);
}

TEST_F(PackageRepository, ModuleFolderThatIsALinkIsNeitherSweptNorUnpackedInto) {
  const fs::path elsewhere = agent_.roots_.base() / "elsewhere";
  fs::create_directories(elsewhere);
  std::ofstream(elsewhere / "precious.txt") << "precious";
  // The link is found by the id as requested and in another letter case alike.
  for (const char* requested : {"0100abcd", "0100ABCD"}) {
    SCOPED_TRACE(requested);
    fs::remove_all(root());
    fs::create_directories(root());
    fs::create_directory_symlink(elsewhere, root() / "0100abcd");
    ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"QuillInfo.xml", "new"}}));
    int refused = agent_.count_in_log("Module folder is not a folder. Path=[" +
                                      (root() / "0100abcd").string() + "]");
    EXPECT_EQ(register_package("pkg.zip", requested), answer_of("R", "2", "900"));
    EXPECT_EQ(agent_.count_in_log("Module folder is not a folder. Path=[" +
                                  (root() / "0100abcd").string() + "]"),
              refused + 1);
    EXPECT_EQ(tree_of(elsewhere), std::vector<std::string>{"precious.txt"});
    EXPECT_EQ(tree_of(root()), std::vector<std::string>{"0100abcd"});
    EXPECT_TRUE(fs::exists(drop_ / "pkg.zip"));
  }
}

}  // namespace
