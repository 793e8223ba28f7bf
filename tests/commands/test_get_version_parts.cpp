// Parts of the get-version command on real module folders: the history rotation, the lock
// table, the status merge, the built-in entries and one module after its tool ran. Rotations
// killed at each step, run without privileges, and the failed kill's log line are tried in
// test_get_version_parts_linux.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bmcgate/bmcgate_fakes.h"
#include "commands/get_version_parts_fixture.h"
#include "commands/version/qma_get_version.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using qma::commands::ToolRun;
using qma::test::read_text;

using qma::test::GetVersionParts;
using qma::test::History;
using qma::test::read_history;
using qma::test::result_xml;
using qma::test::write_history;

std::string option_xml(const std::string& id, const std::string& version,
                       const std::string& cmp = "Even") {
  return "<option id=\"" + id + "\"><cmp>" + cmp + "</cmp><version>" + version +
         "</version></option>";
}

// The first manifest line of a rotation the agent published in `rotation`: the folder's identity.
std::string rotation_identity(const fs::path& rotation) {
  auto identity = qma::platform::entry_identity(rotation.string());
  EXPECT_TRUE(identity.ok()) << rotation;
  if (!identity.ok()) return {};
  return "folder " + std::to_string(identity->device) + ":" + std::to_string(identity->number) +
         "\n";
}

TEST_F(GetVersionParts, HistoryInAnyCaseIsRotatedAndRewrittenUnderItsOwnNames) {
  struct Row {
    const char* name;
    std::array<const char*, 3> history;  // current, previous, the one before
    const char* result;
    const char* stale;  // a second spelling of the current record ("" = none)
  };
  const Row rows[] = {
      {"lower-case result and history",
       {"currentversion.xml", "exversion.xml", "exexversion.xml"},
       "get_version.xml",
       ""},
      {"upper-case result",
       {"CurrentVersion.xml", "ExVersion.xml", "ExExVersion.xml"},
       "GET_VERSION.XML",
       ""},
      {"mixed spellings",
       {"CURRENTVERSION.XML", "ExVersion.xml", "exExVersion.xml"},
       "Get_version.xml",
       ""},
      {"exact name beside another spelling",
       {"CurrentVersion.xml", "ExVersion.xml", "ExExVersion.xml"},
       "get_version.xml",
       "currentversion.xml"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string id = "0500000" + std::to_string(n++);
    // Where names ignore case, two spellings are one file.
    if (*row.stale && qma::platform::kFileSystemIgnoresCase) continue;
    fs::path folder = module(id);
    const char* versions[] = {"3.0", "2.0", "1.0"};
    for (int i = 0; i < 3; ++i)
      std::ofstream(folder / row.history[i]) << result_xml("OK", versions[i]);
    if (*row.stale) std::ofstream(folder / row.stale) << result_xml("OK", "0.9");
    std::ofstream(folder / row.result) << result_xml("OK", "4.0");
    ModuleVersionEntry entry = process(id, "");
    EXPECT_STREQ(entry.CurrentVersion, "4.0");
    EXPECT_STREQ(entry.ExVersion, "3.0");
    EXPECT_STREQ(entry.ExExVersion, "2.0");
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(folder))
      names.push_back(file.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"CurrentVersion.xml", "ExExVersion.xml",
                                               "ExVersion.xml", "ModuleStatus", "QuillInfo.xml"}));
  }
}

TEST_F(GetVersionParts, ForeignThingsInTheStagingPlaceAreClearedWithoutFollowingLinks) {
  fs::path outside = agent_.roots_.base() / "outside";
  struct Row {
    const char* name;
    std::function<void(const fs::path& staging)> make;
    bool link = false;
  };
  const Row rows[] = {
      {"folders in it",
       [](const fs::path& staging) {
         fs::create_directories(staging / "sub" / "deeper");
         std::ofstream(staging / "sub" / "deeper" / "file") << "x";
       }},
      {"a link in it to a folder outside",
       [&](const fs::path& staging) {
         fs::create_directories(staging);
         fs::create_directory_symlink(outside, staging / "out");
       },
       true},
      {"a link in its place",
       [&](const fs::path& staging) { fs::create_directory_symlink(outside, staging); }, true},
      {"a file in its place", [](const fs::path& staging) { std::ofstream(staging) << "x"; }},
  };
  fs::path folder = module("01000000");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.link && !qma::test::links_work()) continue;
    fs::create_directories(outside / "sub");
    std::ofstream(outside / "sub" / "keep") << "keep";
    write_history(folder, {"3.0", "2.0", "1.0"}, "4.0");
    row.make(folder / ".history-staging");
    EXPECT_TRUE(qma::commands::rotate_version_history(folder.string()));
    EXPECT_EQ(read_history(folder), (History{"4.0", "3.0", "2.0"}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / ".history-staging")));
    EXPECT_EQ(read_text(outside / "sub" / "keep"), "keep") << "nothing outside is touched";
  }
}

TEST_F(GetVersionParts, WhatAPackageLeavesInThePublishedPlaceIsSetAsideNeverCommitted) {
  const fs::path elsewhere = agent_.roots_.base() / "elsewhere";
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> make;
    bool set_aside;  // kept under .history-set-aside-1 (an empty folder is only removed)
    bool link = false;
  };
  // A forged history record: were it committed, it would become the current version.
  auto forged_folder = [](const fs::path& place, const std::string& manifest) {
    fs::create_directories(place);
    std::ofstream(place / "manifest", std::ios::binary) << manifest;
    std::ofstream(place / "CurrentVersion.xml") << result_xml("OK", "6.6");
  };
  const Row rows[] = {
      {"a plain file", [](const fs::path& place) { std::ofstream(place) << "from the package"; },
       true},
      {"a folder with a manifest of names",
       [&](const fs::path& place) { forged_folder(place, "CurrentVersion.xml\n"); }, true},
      {"a folder whose manifest names another folder",
       [&](const fs::path& place) {
         forged_folder(place, rotation_identity(agent_.roots_.base()) + "CurrentVersion.xml\n");
       },
       true},
      {"a link to a folder that names itself",
       [&](const fs::path& place) {
         fs::remove_all(elsewhere);
         fs::create_directories(elsewhere);
         forged_folder(elsewhere, rotation_identity(elsewhere) + "CurrentVersion.xml\n");
         fs::create_directory_symlink(elsewhere, place);
       },
       true, true},
      {"an empty folder", [](const fs::path& place) { fs::create_directories(place); }, false},
  };
  fs::path folder = module("01000000");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.link && !qma::test::links_work()) continue;
    fs::remove_all(folder / ".history-set-aside-1");
    fs::remove_all(folder / ".history-rotation");  // what an earlier row left, were it left
    const int logged = agent_.count_in_log("no rotation of the version history was set aside");
    write_history(folder, {"3.0", "2.0", "1.0"}, "4.0");
    row.make(folder / ".history-rotation");
    EXPECT_TRUE(qma::commands::rotate_version_history(folder.string()));
    EXPECT_EQ(read_history(folder), (History{"4.0", "3.0", "2.0"}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / ".history-rotation")));
    EXPECT_EQ(fs::exists(fs::symlink_status(folder / ".history-set-aside-1")), row.set_aside);
    EXPECT_EQ(agent_.count_in_log("no rotation of the version history was set aside"),
              logged + (row.set_aside ? 1 : 0));
  }
  if (qma::test::links_work()) {
    EXPECT_EQ(read_text(elsewhere / "manifest").find("folder "), 0u) << "a link is not followed";
  }
  // The agent's own published rotation is still finished by the next look.
  write_history(folder, {"3.0", "2.0", "1.0"}, "4.0");
  fs::remove(folder / "Get_version.xml");
  fs::create_directories(folder / ".history-rotation");
  std::ofstream(folder / ".history-rotation" / "manifest", std::ios::binary)
      << rotation_identity(folder / ".history-rotation") << "CurrentVersion.xml\n";
  std::ofstream(folder / ".history-rotation" / "CurrentVersion.xml") << result_xml("OK", "5.0");
  qma::commands::recover_version_history(folder.string());
  EXPECT_EQ(read_history(folder), (History{"5.0", "", ""}));
  EXPECT_FALSE(fs::exists(folder / ".history-rotation"));
}

TEST_F(GetVersionParts, RotationWithoutAResultKeepsTheHistory) {
  fs::path folder = module("01000000");
  write_history(folder, {"3.0", "2.0", "1.0"}, "4.0");
  fs::remove(folder / "Get_version.xml");
  EXPECT_FALSE(qma::commands::rotate_version_history(folder.string()));
  EXPECT_EQ(read_history(folder), (History{"3.0", "2.0", "1.0"}));
  EXPECT_FALSE(fs::exists(folder / ".history-staging"));
}

// ---- one module after its tool ran -----------------------------------------------------

TEST_F(GetVersionParts, OutcomesSetStatusVersionsAndMessages) {
  struct Row {
    const char* name;
    std::string result;  // Get_version.xml as the tool left it ("" = none)
    ToolRun run;
    const char* status;
    const char* version;
    const char* message_en;
    const char* log_line;  // a line the outcome must log (or "")
  };
  const Row rows[] = {
      {"ok", result_xml("OK", "1.5"), ToolRun::kFinished, "0", "1.5", "Read.", ""},
      {"busy", result_xml("Busy", "1.5"), ToolRun::kFinished, "4", "", "Device busy.", ""},
      {"no_device", result_xml("No-Device", "1.5"), ToolRun::kFinished, "3", "", "", ""},
      {"not_install", result_xml("Not-install", "1.5"), ToolRun::kFinished, "5", "", "", ""},
      {"other_word", result_xml("Sideways", "1.5"), ToolRun::kFinished, "6", "", "",
       "Result of update-tool is invalid! [Sideways:"},
      {"garbage", "<Response><result_code>OK", ToolRun::kFinished, "6", "", "Agent error.",
       "Get result of update-tool error! [result_code:"},
      {"no_file", "", ToolRun::kFinished, "6", "", "Agent error.",
       "Result of update-tool is invalid! [ErrorInAgent:"},
      {"timed_out", result_xml("OK", "1.5"), ToolRun::kTimedOut, "6", "", "Agent error.", ""},
      {"wait_failed", "", ToolRun::kWaitFailed, "6", "", "Agent error.", ""},
      {"not_started", "", ToolRun::kNotStarted, "6", "", "Agent error.", ""},
  };
  int n = 0;
  for (const Row& row : rows) {
    std::string id = "0300000" + std::to_string(n++);
    fs::path folder = module(id);
    int logged_before = *row.log_line ? agent_.count_in_log(row.log_line) : 0;
    ModuleVersionEntry entry = process(id, row.result, row.run);
    EXPECT_STREQ(entry.ModuleID, id.c_str()) << row.name;
    EXPECT_STREQ(entry.ModuleNameEn, ("Module " + id).c_str()) << row.name;
    EXPECT_STREQ(entry.PackageID, ("PKG-" + id).c_str()) << row.name;
    EXPECT_STREQ(entry.ModuleStatus, row.status) << row.name;
    EXPECT_EQ(status_file(folder), std::string(row.status) + "\n") << row.name;
    EXPECT_STREQ(entry.CurrentVersion, row.version) << row.name;
    EXPECT_STREQ(entry.Compare, *row.version ? "Upper" : "") << row.name;
    EXPECT_STREQ(entry.ToolOutputLogEn, row.message_en) << row.name;
    EXPECT_EQ(fs::exists(folder / "CurrentVersion.xml"), *row.version != '\0') << row.name;
    if (*row.log_line) {
      EXPECT_EQ(agent_.count_in_log(row.log_line), logged_before + 1) << row.name;
    }
  }
}

TEST_F(GetVersionParts, FailedRunLeavesTheHistoryAlone) {
  fs::path folder = module("04000000");
  write_history(folder, {"3.0", "2.0", "1.0"}, "9.0");
  ModuleVersionEntry busy = process("04000000", result_xml("Busy", "9.0"));
  EXPECT_STREQ(busy.CurrentVersion, "");
  EXPECT_STREQ(busy.ExVersion, "");
  EXPECT_EQ(read_history(folder), (History{"3.0", "2.0", "1.0"}));

  // A rotation cut short after it was published is finished by the next successful run.
  fs::create_directories(folder / ".history-rotation");
  std::ofstream(folder / ".history-rotation" / "manifest", std::ios::binary)
      << rotation_identity(folder / ".history-rotation") << "CurrentVersion.xml\n";
  std::ofstream(folder / ".history-rotation" / "CurrentVersion.xml") << result_xml("OK", "4.0");
  ModuleVersionEntry next = process("04000000", result_xml("OK", "4.0"));
  EXPECT_STREQ(next.CurrentVersion, "4.0");
  EXPECT_STREQ(next.ExVersion, "") << "the interrupted rotation named no previous version";
  EXPECT_FALSE(fs::exists(folder / ".history-rotation"));
}

TEST_F(GetVersionParts, DescriptorWithoutIdentificationMakesTheRunUnsuccessful) {
  fs::path folder = module("06000000", false);
  std::ofstream(folder / "QuillInfo.xml") << "<quillmend_package><package_id>P</package_id>"
                                             "</quillmend_package>";
  ModuleVersionEntry entry = process("06000000", result_xml("OK", "2.0"));
  EXPECT_STREQ(entry.ModuleID, "06000000") << "the folder name stands in";
  EXPECT_STREQ(entry.ModuleStatus, "0");
  EXPECT_STREQ(entry.CurrentVersion, "");
  EXPECT_EQ(agent_.count_in_log("QMA_XML_GetElementValueForFile() error! [module_id:"), 1);
  EXPECT_EQ(agent_.count_in_log("QMA_XML_GetModuleName() error! [module_name:"), 1);

  // A folder name longer than the field is cut to 15 characters.
  std::string long_id = "0600000000000000000000";
  fs::create_directories(root_ / long_id);
  ModuleVersionEntry cut = process(long_id, result_xml("OK", "2.0"));
  EXPECT_STREQ(cut.ModuleID, long_id.substr(0, 15).c_str());
}

TEST_F(GetVersionParts, OptionsAreReportedAndTheirStatusesMerged) {
  fs::path folder = module("07000000");
  std::ofstream(folder / "ModuleStatus", std::ios::binary) << "1\nA=0\nB=2\n";
  std::string options = option_xml("A", "1.1") + option_xml("B", "1.2", "Lower");
  ModuleVersionEntry entry = process("07000000", result_xml("OK", "2.0", options));
  ASSERT_NE(entry.ExtInfo, nullptr);
  EXPECT_STREQ(entry.ExtInfo->ModuleNameWithIdEn, "Module (07000000)");
  ASSERT_EQ(entry.ExtInfo->OptionCount, 2);
  EXPECT_STREQ(entry.ExtInfo->Options[0].OptionID, "A");
  EXPECT_STREQ(entry.ExtInfo->Options[0].CurrentVersion, "1.1");
  EXPECT_STREQ(entry.ExtInfo->Options[1].Compare, "Lower");
  EXPECT_STREQ(entry.ExtInfo->Options[1].ModuleStatus, "2");
  EXPECT_STREQ(entry.ModuleStatus, "2") << "module 1 with options 0 and 2";
  EXPECT_EQ(status_file(folder), "1\nA=0\nB=2\n") << "a stored 1 is kept";
  std::free(entry.ExtInfo->Options);
  std::free(entry.ExtInfo);

  // The next version: options carry their previous versions; a new option starts at 0.
  options = option_xml("A", "1.3") + option_xml("C", "0.1");
  entry = process("07000000", result_xml("OK", "3.0", options));
  ASSERT_NE(entry.ExtInfo, nullptr);
  ASSERT_EQ(entry.ExtInfo->OptionCount, 2);
  EXPECT_STREQ(entry.ExtInfo->Options[0].ExVersion, "1.1");
  EXPECT_STREQ(entry.ExtInfo->Options[1].OptionID, "C");
  EXPECT_STREQ(entry.ExtInfo->Options[1].ExVersion, "");
  EXPECT_STREQ(entry.ExtInfo->Options[1].ModuleStatus, "0");
  EXPECT_EQ(status_file(folder), "1\nA=0\nB=2\nC=0\n");
  std::free(entry.ExtInfo->Options);
  std::free(entry.ExtInfo);

  // Message version "1.0" never carries options.
  std::strcpy(request_.MessageVersion, "1.0");
  entry = process("07000000", result_xml("OK", "3.0", options));
  EXPECT_EQ(entry.ExtInfo, nullptr);
  EXPECT_STREQ(entry.ModuleStatus, "1");
}

TEST_F(GetVersionParts, FiveHundredOptionsFillExactlyTheirTable) {
  fs::path folder = module("08000000");
  std::string options;
  for (int i = 0; i < 500; ++i)
    options += option_xml("OPT" + std::to_string(i), "1." + std::to_string(i));
  ModuleVersionEntry entry = process("08000000", result_xml("OK", "1.0", options));
  ASSERT_NE(entry.ExtInfo, nullptr);
  ASSERT_EQ(entry.ExtInfo->OptionCount, 500);
  EXPECT_STREQ(entry.ExtInfo->Options[499].OptionID, "OPT499");
  EXPECT_STREQ(entry.ExtInfo->Options[499].CurrentVersion, "1.499");
  EXPECT_STREQ(entry.ModuleStatus, "0");
  std::free(entry.ExtInfo->Options);
  std::free(entry.ExtInfo);

  // An option without a cmp discards the whole extension.
  entry = process("08000000", result_xml("OK", "1.0",
                                         option_xml("X", "1") + "<option id=\"Y\"><version>2"
                                                                "</version></option>"));
  EXPECT_EQ(entry.ExtInfo, nullptr);
  EXPECT_EQ(agent_.count_in_log("Failed to get cmp! [Y:"), 1);
}

// ---- the built-in entries ---------------------------------------------------------------

TEST_F(GetVersionParts, ReadableBmcJoinsTheBuiltInsUnlessAnEntryCarriesItsId) {
  qma::test::FakeBmc bmc;
  bmc.replies = {qma::test::device_id_reply(0x12, 0x34)};
  qma::bmcgate::set_ipmi_driver(&bmc);
  CMDTbl cmd{};
  std::strcpy(cmd.ReqInfo.MessageVersion, "2.0");
  std::strcpy(cmd.ReqInfo.MessageID, "B-1");
  std::strcpy(cmd.ReqInfo.CommandCode, "1");
  ASSERT_EQ(QMA_ExecuteForGetVersionCommand(nullptr, &cmd), 1);
  ASSERT_EQ(cmd.ResInfo.ModuleCount, 3);
  const ModuleVersionEntry* list = cmd.ResInfo.ModuleList;
  EXPECT_STREQ(list[0].ModuleID, "00000000");
  EXPECT_STREQ(list[1].ModuleID, "00010000");
  EXPECT_STREQ(list[1].ModuleNameJa, "BMC ファームウェア");
  EXPECT_STREQ(list[1].CurrentVersion, "12.34");
  EXPECT_STREQ(list[1].ToolOutputLogEn, "(en)BMC_VersionGet_Success");
  EXPECT_STREQ(list[2].ModuleID, "02000000");
  EXPECT_STREQ(list[2].Compare, "even");
  qma::manager_if::free_module_list(&cmd);

  // An entry of that name, even a plain file, takes the BMC's place without asking it.
  std::ofstream(root_ / "00010000") << "not a folder";
  int opens = bmc.opens;
  std::memset(&cmd.ResInfo, 0, sizeof cmd.ResInfo);
  ASSERT_EQ(QMA_ExecuteForGetVersionCommand(nullptr, &cmd), 1);
  ASSERT_EQ(cmd.ResInfo.ModuleCount, 2);
  EXPECT_STREQ(cmd.ResInfo.ModuleList[1].ModuleID, "02000000");
  EXPECT_EQ(bmc.opens, opens);
  qma::manager_if::free_module_list(&cmd);
  qma::bmcgate::set_ipmi_driver(nullptr);
}

// ---- status merge and lock table ---------------------------------------------------

TEST(GetVersionStatusMerge, HighestRankedStatusWins) {
  const int ranking[] = {3, 5, 0, 1, 2, 4, 6};
  for (int a = 0; a < 7; ++a) {
    for (int b = 0; b < 7; ++b) {
      int expected = ranking[a > b ? a : b];
      EXPECT_EQ(qma::commands::merge_option_status(ranking[a], ranking[b]), expected)
          << ranking[a] << " with " << ranking[b];
    }
  }
  EXPECT_EQ(qma::commands::merge_option_status(4, 9), 9) << "outside 0-6 outranks 0-5";
  EXPECT_EQ(qma::commands::merge_option_status(9, 6), 9) << "and is kept once merged";
  EXPECT_EQ(qma::commands::merge_option_status(6, 9), 6);
}

TEST_F(GetVersionParts, LockKeysAndWaits) {
  // Keys are the first four characters as a number; others take no lock and log twice.
  EXPECT_EQ(QMA_getVersionLock("AB000000"), 0);
  QMA_getVersionUnlock("AB000000");
  EXPECT_EQ(agent_.count_in_log("Invalid argument wkbuf=[AB00]"), 2);
  EXPECT_EQ(QMA_getVersionLock("12x40000"), 0);
  EXPECT_EQ(QMA_getVersionLock("-0010000"), 0);
  EXPECT_EQ(agent_.count_in_log("Invalid argument wkbuf=[-001]"), 1);

  // Slot 9999 and slot 0 exist; ids sharing their first four characters share a slot.
  ASSERT_EQ(QMA_getVersionLock("99990000"), 1);
  ASSERT_EQ(QMA_getVersionLock("00000000"), 1);
  std::atomic<int> other = -1;
  auto started = std::chrono::steady_clock::now();
  std::thread([&] { other = QMA_getVersionLock("99991234"); }).join();
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(other, 0) << "the second holder gives up";
  EXPECT_GE(waited, std::chrono::milliseconds(4900)) << "after waiting 5 s";
  EXPECT_EQ(agent_.count_in_log("WaitForSingleObject() is timeout!! (time=[5000]ms)"), 1);
  QMA_getVersionUnlock("99990000");
  std::thread([&] {
    other = QMA_getVersionLock("99991234");
    QMA_getVersionUnlock("99991234");
  }).join();
  EXPECT_EQ(other, 1) << "free again once released";
  QMA_getVersionUnlock("00000000");
}

}  // namespace
