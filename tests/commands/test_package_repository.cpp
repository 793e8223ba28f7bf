// Package registration (code 2) and log collection (code 7) against the agent's worker
// serving its real pipe, with the real zip launcher and archivers installed beside it. An
// upload on a file system of its own is tried in test_package_repository_linux.cpp.
#include <gtest/gtest.h>

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
#include "platform/file.h"
#include "tools/tool_runner.h"
#include "tools/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::kZipLink;
using qma::test::path_text;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;
using qma::test::run_tool;
using qma::test::tree_of;
using qma::test::write_zip;
using qma::test::ZipItem;

// The separator the agent and qmactl join paths with.
const std::string kSeparator(1, qma::platform::kPathSeparator);

using qma::test::answer_of;
using qma::test::kModule;
using qma::test::PackageRepository;

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST_F(PackageRepository, RealZipIsUnpackedIntoItsModuleFolderWithAFreshStatus) {
  ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"QuillInfo.xml", "<quillmend_package/>"},
                                            {"tool.sh", "#!/bin/sh\nexit 0\n", 0100755},
                                            {"data/", "", qma::test::kZipFolder},
                                            {"data/empty.txt", ""}}));
  EXPECT_EQ(register_package("pkg.zip"), answer_of("R", "2", "600"));
  EXPECT_EQ(tree_of(module()), (std::vector<std::string>{"ModuleStatus", "QuillInfo.xml", "data",
                                                         "data/empty.txt", "tool.sh"}));
  EXPECT_EQ(read_text(module() / "QuillInfo.xml"), "<quillmend_package/>");
  if (qma::test::unix_modes_work()) {
    EXPECT_TRUE((fs::status(module() / "tool.sh").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);
  }
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus(kModule, nullptr), 0);
  EXPECT_FALSE(fs::exists(drop_ / "pkg.zip")) << "the upload was moved away";
  EXPECT_EQ(agent_.count_in_log("QMA_RepositoryForUpdatePKG() end."), 1);
  EXPECT_EQ(agent_.count_in_log("QMA_ExecuteProcess() error!"), 0);
}

TEST_F(PackageRepository, NewPackageReplacesTheOldButKeepsStatusAndVersionHistory) {
  fs::create_directories(module());
  QMA_Cmn_Set_ModuleStatus(kModule, QMA_MODSTAT_FAILED, nullptr);
  ASSERT_EQ(QMA_Cmn_Get_ModuleStatus(kModule, nullptr), QMA_MODSTAT_FAILED);
  for (const char* kept : {"CurrentVersion.xml", "ExVersion.xml", "ExExVersion.xml"}) {
    write(module() / kept, std::string("history ") + kept);
  }
  write(module() / "old_tool.sh", "old");
  write(module() / "olddir" / "ModuleStatus", "only kept at the top");
  // A folder with a further attribute (hidden: its name starts with ".") is taken for a
  // file, so deleting it fails and it stays, as the sweep has always done.
  write(module() / ".hidden" / "note.txt", "stays");
  write(agent_.roots_.base() / "outside.txt", "outside");
  if (qma::test::links_work()) {
    fs::create_symlink(agent_.roots_.base() / "outside.txt", module() / "outlink");
  }
  ASSERT_TRUE(write_zip(drop_ / "new.zip", {{"QuillInfo.xml", "new"}}));

  EXPECT_EQ(register_package("new.zip"), answer_of("R", "2", "600"));
  EXPECT_EQ(tree_of(module()),
            (std::vector<std::string>{".hidden", ".hidden/note.txt", "CurrentVersion.xml",
                                      "ExExVersion.xml", "ExVersion.xml", "ModuleStatus",
                                      "QuillInfo.xml"}));
  EXPECT_EQ(
      agent_.count_in_log("DeleteFile() error! Path=[" + (module() / ".hidden").string() + "]"), 1);
  for (const char* kept : {"CurrentVersion.xml", "ExVersion.xml", "ExExVersion.xml"}) {
    EXPECT_EQ(read_text(module() / kept), std::string("history ") + kept);
  }
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus(kModule, nullptr), QMA_MODSTAT_FAILED);
  EXPECT_EQ(agent_.count_in_log("Do not make the ModuleStatus file. Because there is already it."),
            1);
  EXPECT_EQ(read_text(agent_.roots_.base() / "outside.txt"), "outside")
      << "the link was removed, not followed";
  // An upload named like a kept file cannot be moved in, and the kept file is not taken
  // for the archive and deleted afterwards.
  write(drop_ / "ModuleStatus", "not a zip");
  EXPECT_EQ(register_package("ModuleStatus"), answer_of("R", "2", "600"));
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus(kModule, nullptr), QMA_MODSTAT_FAILED);
  EXPECT_EQ(agent_.count_in_log("Upload not moved. File=[ModuleStatus]"), 1);
}

TEST_F(PackageRepository, ModuleIdInAnotherLetterCaseRegistersIntoTheExistingFolder) {
  const fs::path existing = root() / "0100abcd";
  write(existing / "old_tool.sh", "old");
  write(existing / "CurrentVersion.xml", "history");
  ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"QuillInfo.xml", "new"}}));
  EXPECT_EQ(register_package("pkg.zip", "0100ABCD"), answer_of("R", "2", "600"));
  EXPECT_EQ(tree_of(root()),
            (std::vector<std::string>{"0100abcd", "0100abcd/CurrentVersion.xml",
                                      "0100abcd/ModuleStatus", "0100abcd/QuillInfo.xml"}));
  EXPECT_EQ(read_text(existing / "QuillInfo.xml"), "new");
  EXPECT_EQ(read_text(existing / "CurrentVersion.xml"), "history");
  EXPECT_EQ(QMA_Cmn_Get_ModuleStatus("0100abcd", nullptr), 0);
  EXPECT_EQ(tree_of(drop_), std::vector<std::string>{}) << "the upload was moved in and deleted";
}

TEST_F(PackageRepository, RequestChecksRefuseWithoutTouchingThePackageRoot) {
  struct Row {
    const char* what;
    std::string file_name, attached, module;
    bool upload_stays;
    const char* log;
  };
  const Row rows[] = {
      {"name differs in letter case", "PKG.zip", "pkg.zip", kModule, true, "File not specified."},
      {"no name", "", "pkg.zip", kModule, true, "File not specified."},
      {"name that is a path", "../drop/pkg.zip", "../drop/pkg.zip", kModule, true,
       "File not specified."},
      {"attachment missing", "absent.zip", "absent.zip", kModule, true,
       "QMA_Cmn_CheckFile() error! File not found."},
      {"seven-character module id", "pkg.zip", "pkg.zip", "0100000", false,
       "Module ID is not eight characters."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    write(drop_ / "pkg.zip", "zip");
    int before = agent_.count_in_log(row.log);
    EXPECT_EQ(register_package(row.file_name, row.module, row.attached),
              answer_of("R", "2", "900"));
    EXPECT_EQ(agent_.count_in_log(row.log), before + 1);
    EXPECT_EQ(fs::exists(drop_ / "pkg.zip"), row.upload_stays);
    EXPECT_EQ(tree_of(root()), std::vector<std::string>{});
  }
  // Only code 2 registers.
  CMDTbl cmd{};
  MPITbl mpi{};
  mpi.CmdTbl = &cmd;
  std::strcpy(cmd.ReqInfo.CommandCode, "3");
  EXPECT_EQ(QMA_RepositoryForUpdatePKG(&mpi, &cmd), 0);
  EXPECT_STREQ(cmd.ResInfo.Status, "900");
  EXPECT_EQ(agent_.count_in_log("Unexpected command. (CommandCode=3)"), 1);
}

// A registration that fails leaves no module folder it made itself: one without a package
// descriptor would make every later get-version fail. A folder that was there before stays.
TEST_F(PackageRepository, FailedRegistrationRemovesOnlyTheModuleFolderItMade) {
  ASSERT_TRUE(write_zip(drop_ / "good.zip", {{"QuillInfo.xml", "<quillmend_package/>"}}));
  ASSERT_EQ(register_package("good.zip"), answer_of("R", "2", "600"));
  const fs::path linked = agent_.roots_.base() / "linked.zip";
  struct Row {
    const char* what;
    std::function<void()> upload;
    const char* log;
  };
  const Row rows[] = {
      {"an archive the archiver refuses",
       [&] {
         ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"../x", "evil"}}));
       },
       "Package not unpacked."},
      {"an upload that is no archive", [&] { write(drop_ / "pkg.zip", "not a zip"); },
       "Package not unpacked."},
      // Its other name may be a file the client does not own: it is never moved in.
      {"an upload with a second hard link",
       [&] {
         ASSERT_TRUE(write_zip(linked, {{"QuillInfo.xml", "<quillmend_package/>"}}));
         fs::create_hard_link(linked, drop_ / "pkg.zip");
       },
       "Upload not moved. File=[pkg.zip]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* id : {"02000000", kModule}) {
      SCOPED_TRACE(id);
      fs::remove(drop_ / "pkg.zip");
      row.upload();
      int logged = agent_.count_in_log(row.log);
      EXPECT_EQ(register_package("pkg.zip", id), answer_of("R", "2", "600"));
      EXPECT_EQ(agent_.count_in_log(row.log), logged + 1);
      EXPECT_FALSE(fs::exists(root() / "02000000")) << "the folder made for nothing goes again";
      // The existing module's old package is swept, as by any registration; its folder
      // and status stay.
      EXPECT_EQ(QMA_Cmn_Get_ModuleStatus(kModule, nullptr), 0);
    }
  }
  EXPECT_EQ(read_text(linked).substr(0, 2), "PK") << "the linked file is untouched";
  EXPECT_TRUE(fs::exists(drop_ / "pkg.zip")) << "the linked upload is left in place";
  EXPECT_EQ(agent_.count_in_log("Upload not moved. File=[pkg.zip] Folder=[" + drop_.string() +
                                "] errno=[" + std::to_string(EMLINK) + "]"),
            2);
  EXPECT_EQ(agent_.count_in_log("Module folder not removed."), 0);
}

// Uploads are taken only from the agent's upload folder and the folders an administrator
// names in QMA_UPLOAD_FOLDERS: a request naming any other folder, or reaching outside
// through a link or "..", is refused with 900 and its file is not touched, whatever the
// module id (a seven-character one used to delete the file outright).
TEST_F(PackageRepository, UploadsAreTakenFromTheUploadFoldersOnly) {
  const fs::path elsewhere = agent_.roots_.base() / "elsewhere";
  ASSERT_TRUE(fs::create_directories(elsewhere));
  ASSERT_TRUE(write_zip(elsewhere / "pkg.zip", {{"QuillInfo.xml", "<quillmend_package/>"}}));
  const std::string original = read_text(elsewhere / "pkg.zip");
  const fs::path uploads = agent_.roots_.state() / "upload";
  std::vector<std::string> folders = {
      elsewhere.string(),
      (drop_ / ".." / ".." / ".." / "elsewhere").string(),
      (uploads / "..").string() + kSeparator + ".." + kSeparator + "elsewhere",
      "elsewhere",
  };
  if (qma::test::links_work()) {
    fs::create_directory_symlink(elsewhere, uploads / "lnk");
    folders.push_back((uploads / "lnk").string());
  }
  auto ask = [&](const std::string& id, const std::string& folder) {
    std::string data = "<FileName>pkg.zip</FileName><ModuleID>" + id + "</ModuleID>";
    return answer_text(
        exchange(request_frame(request_xml("2", "R", "2.0", data), "pkg.zip", folder)).answer);
  };
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    for (const char* id : {kModule, "0100000", "../x"}) {
      SCOPED_TRACE(id);
      EXPECT_EQ(ask(id, folder), answer_of("R", "2", "900"));
      EXPECT_EQ(read_text(elsewhere / "pkg.zip"), original);
      EXPECT_EQ(tree_of(root()), std::vector<std::string>{});
    }
  }
  // Per folder: two refusals of its folder, and one refused delete of its upload.
  const int asked = static_cast<int>(folders.size());
  EXPECT_EQ(agent_.count_in_log("Upload folder not accepted. Folder=["), 2 * asked);
  EXPECT_EQ(agent_.count_in_log("Upload not deleted. File=[pkg.zip]"), asked);

  // A folder the administrator added is as good as the agent's own.
  qma::test::set_env(
      "QMA_UPLOAD_FOLDERS",
      ("relative" + std::string(1, qma::platform::kPathListSeparator) + elsewhere.string())
          .c_str());
  EXPECT_EQ(ask(kModule, elsewhere.string()), answer_of("R", "2", "600"));
  qma::test::unset_env("QMA_UPLOAD_FOLDERS");
  EXPECT_EQ(tree_of(module()), (std::vector<std::string>{"ModuleStatus", "QuillInfo.xml"}));
  EXPECT_EQ(tree_of(elsewhere), std::vector<std::string>{});
}

TEST_F(PackageRepository, HostileArchivesWriteNothingOutsideTheModuleFolder) {
  const fs::path home = agent_.roots_.home();
  fs::create_directories(home / "outside");
  struct Row {
    const char* what;
    std::vector<ZipItem> items;
    const char* reason;
    std::vector<fs::path> escapes;
    std::string damage_from, damage_to;
    const char* limit = nullptr;
  };
  const std::string filler(64, 'f');
  const Row rows[] = {
      {"dot-dot", {{"../../x", "evil"}}, "climbs out of the folder", {home / "bin" / "x"}},
      {"absolute",
       {{(home / "abs.txt").string(), "evil"}},
       (home / "abs.txt").has_root_name() ? "names a drive" : "is an absolute name",
       {home / "abs.txt"}},
      {"backslashes",
       {{"..\\..\\y", "evil"}},
       "climbs out of the folder",
       {home / "bin" / "y", module() / "..\\..\\y"}},
      {"link out, then a file through it",
       {{"lnk", "../../../outside", kZipLink}, {"lnk/evil.txt", "evil"}},
       "would be written through the symbolic link 'lnk'",
       {home / "outside" / "evil.txt", module() / "lnk"}},
      {"entry named like the archiver's refusal report",
       {{"QuillInfo.xml", "new"}, {"pkg.zip.err", "QMAunz: a forged refusal"}},
       "'pkg.zip.err' has the name of the refusal report",
       {module() / "pkg.zip.err", module() / "QuillInfo.xml"}},
      {"duplicate entry",
       {{"dup.txt", "one"}, {"dup.tx2", "two"}},
       "'dup.txt' appears twice",
       {module() / "dup.txt"},
       "dup.tx2",
       "dup.txt"},
      {"corrupt central directory",
       {{"one.txt", filler}},
       "the archive cannot be read",
       {module() / "one.txt"},
       std::string("PK\x01\x02", 4),
       "PK\x09\x09"},
      {"past the limit",
       {{"big.txt", std::string(4096, 'b')}},
       "it expands past the limit of 1000 bytes",
       {module() / "big.txt"},
       "",
       "",
       "1000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(module());
    ASSERT_TRUE(write_zip(drop_ / "pkg.zip", row.items));
    if (!row.damage_from.empty()) {
      qma::test::patch_bytes(drop_ / "pkg.zip", row.damage_from, row.damage_to);
    }
    if (row.limit != nullptr) qma::test::set_env("QMAUNZ_MAX_BYTES", row.limit);
    int refusals = agent_.count_in_log("Package not unpacked.");
    // The launcher ran and ended, so the registration answers 600 whatever the archiver said.
    EXPECT_EQ(register_package("pkg.zip"), answer_of("R", "2", "600"));
    qma::test::unset_env("QMAUNZ_MAX_BYTES");
    for (const fs::path& escape : row.escapes) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(escape))) << escape;
    }
    // The folder this registration made holds no package, so it goes again.
    EXPECT_FALSE(fs::exists(fs::symlink_status(module())));
    EXPECT_EQ(tree_of(home / "outside"), std::vector<std::string>{});
    EXPECT_NE(agent_.log().find("Package not unpacked. QMAunz: refused " +
                                (module() / "pkg.zip").string() + ": "),
              std::string::npos);
    EXPECT_NE(agent_.log().find(row.reason), std::string::npos);
    EXPECT_EQ(agent_.count_in_log("Package not unpacked."), refusals + 1);
  }

  // A zero-byte file is an ordinary part of a package.
  fs::remove_all(module());
  ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"empty.dat", ""}}));
  int refusals = agent_.count_in_log("Package not unpacked.");
  EXPECT_EQ(register_package("pkg.zip"), answer_of("R", "2", "600"));
  EXPECT_EQ(tree_of(module()), (std::vector<std::string>{"ModuleStatus", "empty.dat"}));
  EXPECT_EQ(agent_.count_in_log("Package not unpacked."), refusals);
}

// An administrator's registration and log fetch with qmactl, through the real socket.
TEST_F(PackageRepository, QmactlRegistersAPackageAndFetchesTheLogArchive) {
  const fs::path archive = agent_.roots_.base() / "my package.zip";
  ASSERT_TRUE(write_zip(archive, {{"QuillInfo.xml", "<quillmend_package/>"}}));
  auto registered = run_tool({QMACTL_PATH, "register", kModule, archive.string()});
  EXPECT_EQ(registered.status, 0) << registered.out << registered.err;
  EXPECT_NE(registered.out.find("Status: 600\n"), std::string::npos) << registered.out;
  EXPECT_EQ(tree_of(module()), (std::vector<std::string>{"ModuleStatus", "QuillInfo.xml"}));
  EXPECT_TRUE(fs::exists(archive)) << "qmactl sends a copy";
  EXPECT_EQ(tree_of(agent_.roots_.state() / "upload"), std::vector<std::string>{"drop"})
      << "qmactl's staging folder is cleaned up (the fixture's drop folder stays)";

  const fs::path fetched = agent_.roots_.base() / "fetched.zip";
  auto logs = run_tool({QMACTL_PATH, "logs", "--out", fetched.string()});
  EXPECT_EQ(logs.status, 0) << logs.out << logs.err;
  EXPECT_NE(logs.out.find("Saved to: " + fetched.string() + "\n"), std::string::npos) << logs.out;
  EXPECT_TRUE(qma::test::read_zip(fetched).has_value()) << "the fetched archive reads back whole";

  auto unsaved =
      run_tool({QMACTL_PATH, "logs", "--out", (agent_.roots_.base() / "no" / "x.zip").string()});
  EXPECT_EQ(unsaved.status, 1);
  EXPECT_NE(unsaved.err.find("qmactl: cannot save the log archive"), std::string::npos)
      << unsaved.err;
}

// qmactl stages in the first upload folder an administrator added (one on the package root's
// file system makes the move a rename); the agent takes it only when it has that folder too.
TEST_F(PackageRepository, QmactlStagesInTheAdministratorsUploadFolderFirst) {
  const fs::path added = agent_.roots_.bin() / "uploads";
  fs::create_directories(added);
  const fs::path archive = agent_.roots_.base() / "pkg.zip";
  ASSERT_TRUE(write_zip(archive, {{"QuillInfo.xml", "<quillmend_package/>"}}));
  const qma::test::ToolEnvironment with_added{{{"QMA_UPLOAD_FOLDERS", added.string()}}, {}};

  auto refused = run_tool({QMACTL_PATH, "register", kModule, archive.string()}, {}, with_added);
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  EXPECT_EQ(agent_.count_in_log("Upload folder not accepted. Folder=[" + added.string() +
                                kSeparator + "qmactl-"),
            1)
      << "staged in the added folder, which the agent does not know";

  qma::test::set_env("QMA_UPLOAD_FOLDERS", added.string().c_str());
  auto registered = run_tool({QMACTL_PATH, "register", kModule, archive.string()}, {}, with_added);
  qma::test::unset_env("QMA_UPLOAD_FOLDERS");
  EXPECT_EQ(registered.status, 0) << registered.out << registered.err;
  EXPECT_EQ(tree_of(module()), (std::vector<std::string>{"ModuleStatus", "QuillInfo.xml"}));
  EXPECT_EQ(tree_of(added), std::vector<std::string>{});
  EXPECT_EQ(tree_of(agent_.roots_.state() / "upload"), std::vector<std::string>{"drop"});
}

// ---- log collection ----

class LogCollection : public PackageRepository {
 protected:
  // The agent's own logs in the bin folder (the service log and the inventory library's
  // log) exist once anything was logged there; make sure they do.
  void SetUp() override {
    PackageRepository::SetUp();
    for (const char* own : {"QMAgentService.log", "BmcGate.log"}) {
      std::ofstream(agent_.roots_.bin() / own, std::ios::app).flush();
    }
  }
  fs::path log_dir() const { return agent_.log_dir_; }
  /// Sends a collection request; the archive's full path comes in the frame's file name.
  std::string collect(std::string* attached) {
    return answer_text(exchange(request_frame(request_xml("7", "L"))).answer, attached);
  }
  std::vector<std::string> archived() const {
    std::vector<std::string> names;
    for (const auto& entry : archive_entries()) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  }
  /// The log archive's entries; empty, and a failure, when it does not read back whole.
  std::vector<qma::test::ZipEntry> archive_entries() const {
    auto entries = qma::test::read_zip(log_dir() / "QMAgentLog.zip");
    EXPECT_TRUE(entries.has_value()) << "the log archive does not read back whole";
    return entries.value_or(std::vector<qma::test::ZipEntry>{});
  }
  void expect_archive_sound() const { (void)archive_entries(); }
  const std::string answer_ =
      "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>L</InReplyTo>"
      "<CommandCode>7</CommandCode><QMAData><Status>600</Status>"
      "<FileName>QMAgentLog.zip</FileName></QMAData></QMAMessage>";
};

TEST_F(LogCollection, CommunicationServiceLogsAreCollectedPackedAndCleanedUp) {
  const fs::path home = agent_.roots_.home();
  write(home / "logs" / "axis2.log", "axis2");
  write(home / "logs" / "MOX_Install.log", "install");
  write(home / "logs" / "ExMOX_Install.log", "install before");
  write(home / "logs" / "not_listed.log", "not collected");
  // Sources are found whatever the case of their names, and copied under the table's names.
  write(home / "logs" / "AXIS2_MOXCLIENT.LOG", "client");
  write(home / "bin" / "mox_client.log", "mox client");
  write(agent_.roots_.base() / "secret", "secret");
  if (qma::test::links_work()) {
    fs::create_symlink(agent_.roots_.base() / "secret", home / "logs" / "miniQMA.log");
  }
  write(home / "bin" / "moxService.xml",
        "<parameter><serviceName>moxService</serviceName>"
        "<mox_logfile>moxService.log</mox_logfile></parameter>");
  write(home / "bin" / "moxService.log", "service");
  write(home / "bin" / "ExplainmoxService.log", "plain before");
  write(home / "bin" / "BmcGate.log", "bmc");
  write(home / "bin" / "ExQMAgentService.log", "service log before");
  // A link in the launcher's place is replaced by the launcher's copy, not written through.
  write(agent_.roots_.base() / "victim", "victim");
  if (qma::test::links_work()) {
    fs::create_symlink(agent_.roots_.base() / "victim", log_dir() / qma::commands::kZipTool);
  }

  std::string attached;
  EXPECT_EQ(collect(&attached), answer_);
  EXPECT_EQ(attached, (log_dir() / "QMAgentLog.zip").string());
  expect_archive_sound();
  EXPECT_EQ(archived(),
            (std::vector<std::string>{"BmcGate.log", "ExMOX_Install.log", "ExQMAgentService.log",
                                      "ExplainmoxService.log", "MOX_CLIENT.log", "MOX_Install.log",
                                      "QMAgent.log", "QMAgentService.log", "axis2.log",
                                      "axis2_moxClient.log", "moxService.log"}));
  // The copies and the launcher are gone; the agent's own log and the archive stay.
  EXPECT_EQ(tree_of(log_dir()), (std::vector<std::string>{"QMAgent.log", "QMAgentLog.zip"}));
  EXPECT_EQ(read_text(agent_.roots_.base() / "secret"), "secret");
  EXPECT_TRUE(read_text(agent_.roots_.base() / "victim") == "victim")
      << "the launcher was written through the link";
  EXPECT_EQ(read_text(home / "bin" / "moxService.log"), "service") << "sources stay";
  EXPECT_EQ(read_text(home / "logs" / "AXIS2_MOXCLIENT.LOG"), "client");
  const auto entries = archive_entries();
  auto client = std::find_if(entries.begin(), entries.end(),
                             [](const auto& entry) { return entry.name == "axis2_moxClient.log"; });
  ASSERT_NE(client, entries.end());
  EXPECT_EQ(client->data, "client");
}

TEST_F(LogCollection, WithoutCommunicationServiceLogsOnlyTheAgentsOwnArePacked) {
  std::string attached;
  EXPECT_EQ(collect(&attached), answer_);
  expect_archive_sound();
  // The agent's log, its service log and its inventory library's.
  EXPECT_EQ(archived(),
            (std::vector<std::string>{"BmcGate.log", "QMAgent.log", "QMAgentService.log"}));
  EXPECT_EQ(
      agent_.count_in_log("Nothing Element[parameter:mox_logfile] in File[" +
                          (agent_.roots_.bin() / "moxService.xml").string() + "] is nothing!!"),
      1);
  // An older archive is replaced. An empty log file name is as good as none.
  for (const char* empty : {"<mox_logfile></mox_logfile>", "<mox_logfile/>"}) {
    SCOPED_TRACE(empty);
    write(agent_.roots_.bin() / "moxService.xml",
          std::string("<parameter>") + empty + "</parameter>");
    int before = agent_.count_in_log("Nothing Element[parameter:mox_logfile]");
    EXPECT_EQ(collect(&attached), answer_);
    expect_archive_sound();
    EXPECT_EQ(agent_.count_in_log("Nothing Element[parameter:mox_logfile]"), before + 1);
  }
  EXPECT_EQ(agent_.count_in_log("Log file name is not a plain name."), 0);
}

TEST_F(LogCollection, UnsetOrEmptyInstallationRootEndsCollectionAndRegistrationEarly) {
  const std::string home = agent_.roots_.home().string();
  const std::string line = "Enviroment Parameter[AXIS2C_HOME] is nothing!!";
  for (bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "empty" : "unset");
    if (empty) {
      qma::test::set_env("AXIS2C_HOME", "");
    } else {
      qma::test::unset_env("AXIS2C_HOME");
    }
    int before = agent_.count_in_log(line);
    std::string attached;
    EXPECT_EQ(
        collect(&attached),
        "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>L</InReplyTo><CommandCode>7</"
        "CommandCode><QMAData><Status>900</Status><FileName></FileName></QMAData></QMAMessage>");
    EXPECT_EQ(tree_of(log_dir()), std::vector<std::string>{"QMAgent.log"});
    // Registration moves the package in but has no launcher to unpack it with.
    ASSERT_TRUE(write_zip(drop_ / "pkg.zip", {{"QuillInfo.xml", "new"}}));
    EXPECT_EQ(register_package("pkg.zip"), answer_of("R", "2", "900"));
    EXPECT_FALSE(fs::exists(module())) << "the folder made for nothing goes again";
    qma::test::set_env("AXIS2C_HOME", qma::test::path_text(home));
    EXPECT_EQ(agent_.count_in_log(line), before + 2);
  }
  EXPECT_EQ(agent_.count_in_log("Copy of zip-tool failed."), 0);
}

TEST_F(LogCollection, AtMostTwoHundredLogFilesArePacked) {
  for (int i = 0; i < 230; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.log", i);
    write(log_dir() / name, name);
  }
  std::string attached;
  EXPECT_EQ(collect(&attached), answer_);
  expect_archive_sound();
  auto names = archived();
  ASSERT_EQ(names.size(), 200u);
  // Listed in byte order: the agent's three logs, then f000.log to f196.log.
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
            (std::vector<std::string>{"BmcGate.log", "QMAgent.log", "QMAgentService.log"}));
  EXPECT_EQ(names.back(), "f196.log");
}

TEST(LogArchiveArguments, NamesThatWouldOverrunTheCommandLineAreLeftOut) {
  const std::string archive = "/var/log/QMAgentLog.zip";
  std::string head = "-c \"" + archive + "\" ";
  // "\"QMZipControl\" " precedes the arguments on the command line.
  const size_t launcher = qma::commands::kZipTool.size() + 3;
  size_t room = qma::commands::kZipCommandLineLimit - 1 - launcher - head.size();
  std::string fits(room - 3, 'a');      // quoted and followed by a blank: exactly the room left
  std::string too_long(room - 2, 'b');  // one character more
  std::vector<std::string> left_out;
  EXPECT_EQ(qma::commands::log_archive_arguments(archive, {too_long, fits, "c.log"}, &left_out),
            head + "\"" + fits + "\" ");
  EXPECT_EQ(left_out, (std::vector<std::string>{too_long, "c.log"}));
  EXPECT_EQ(launcher + (head + "\"" + fits + "\" ").size(),
            qma::commands::kZipCommandLineLimit - 1);

  left_out.clear();
  EXPECT_EQ(qma::commands::log_archive_arguments(archive, {"a b.log", "q\"uote.log"}, &left_out),
            head + "\"a b.log\" \"q\\\"uote.log\" ");
  EXPECT_TRUE(left_out.empty());
}

}  // namespace
