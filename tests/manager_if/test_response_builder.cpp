// The response message: exact layouts per command code, built in two passes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/qma_version_info.h"
#include "common/qma_config.h"
#include "manager_if/qma_manager_if.h"
#include "platform/file.h"
#include "support/temp_roots.h"

namespace {

template <size_t N>
void put(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::strncpy(field, text, N - 1);
}

class ResponseBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mpi_ = qma::manager_if::allocate_tables();
    ASSERT_NE(mpi_, nullptr);
    cmd_ = mpi_->CmdTbl;
    put(cmd_->ReqInfo.MessageVersion, "2.0");
    put(cmd_->ResInfo.InReplyTo, "M-17");
    put(g_QMAConfig.LogSavePath, "/srv/qma/QMA_LOGROOT");
  }
  void TearDown() override { qma::manager_if::free_tables(mpi_); }

  // Builds the answer and returns its text; checks the sizing pass against it.
  std::string build(const char* code, int kind = 0) {
    put(cmd_->ResInfo.CommandCode, code);
    uint32_t size = 0;
    EXPECT_EQ(QMA_BuildSendData(mpi_, cmd_, kind, 1, nullptr, &size), 1);
    EXPECT_EQ(QMA_MakeSendData(mpi_, cmd_, kind), 1);
    if (mpi_->ResText == nullptr) return {};
    std::string text(mpi_->ResText, mpi_->ResTextLength);
    EXPECT_EQ(text.size() + 1, size) << "the sizing pass counts the text and its terminator";
    EXPECT_EQ(std::strlen(mpi_->ResText), mpi_->ResTextLength);
    return text;
  }

  static std::string head(const char* code) {
    return std::string(
               "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>M-17</InReplyTo><CommandCode>") +
           code + "</CommandCode><QMAData>";
  }
  static constexpr const char* kTail = "</QMAData></QMAMessage>";

  qma::test::TempRoots roots_;
  MPITbl* mpi_ = nullptr;
  CMDTbl* cmd_ = nullptr;
};

TEST_F(ResponseBuilderTest, StatusOnlyAnswersOfRegistrationRebootAndShutdown) {
  put(cmd_->ResInfo.Status, "600");
  put(cmd_->ResInfo.AgentStatus, "normal");
  for (const char* code : {"2", "5", "6"}) {
    EXPECT_EQ(build(code), head(code) + "<Status>600</Status>" + kTail) << code;
  }
}

TEST_F(ResponseBuilderTest, AgentInformationHasEveryElementInOrder) {
  ResInfo& r = cmd_->ResInfo;
  put(r.Status, "600");
  put(r.AgentStatus, "normal");
  put(r.AgentVersion, "3.1");
  put(r.HostName, "host1");
  put(r.major, "12");
  put(r.minor, "0");
  put(r.sp_major, "0");
  put(r.sp_minor, "0");
  put(r.arch, "x64");
  put(r.refid, "0");
  put(r.product_type, "256");
  put(r.OSName, "Debian GNU/Linux 12 (bookworm)");
  put(r.model_name, "ServerModel X");
  put(r.parent_n_code, "AB-1234");
  put(r.Guid, "33221100-5544-7766-8899-AABBCCDDEEFF");
  put(r.Serial, "SN<1>&2");
  EXPECT_EQ(
      build("0"),
      head("0") +
          "<Status>600</Status><AgentStatus>normal</AgentStatus><AgentVersion>3.1</AgentVersion>"
          "<HostName>host1</HostName><windows_os major=\"12\" minor=\"0\" sp_major=\"0\" "
          "sp_minor=\"0\" arch=\"x64\"><reference refid=\"0\"></reference>"
          "<product_type>256</product_type></windows_os>"
          "<OSName>Debian GNU/Linux 12 (bookworm)</OSName>"
          "<target_machine model_name=\"ServerModel X\"><n_code parent_n_code=\"AB-1234\">"
          "<child_n_code></child_n_code></n_code></target_machine>"
          "<Guid>33221100-5544-7766-8899-AABBCCDDEEFF</Guid><Serial>SN<1>&2</Serial>" +
          kTail);
}

TEST_F(ResponseBuilderTest, RefusedGetVersionIsTheEmptySkeletonWithoutModules) {
  put(cmd_->ResInfo.Status, "901");
  put(cmd_->ResInfo.AgentStatus, "busy");
  EXPECT_EQ(
      build("1"),
      head("1") +
          "<Status>901</Status><AgentStatus>busy</AgentStatus><AgentVersion></AgentVersion>"
          "<HostName></HostName><windows_os major=\"\" minor=\"\" sp_major=\"\" sp_minor=\"\" "
          "arch=\"\"><reference refid=\"\"></reference><product_type></product_type>"
          "</windows_os><OSName></OSName><target_machine model_name=\"\"><n_code "
          "parent_n_code=\"\"><child_n_code></child_n_code></n_code></target_machine>"
          "<Guid></Guid><Serial></Serial>" +
          kTail);
}

TEST_F(ResponseBuilderTest, GetVersionModulesAreWrittenOnceAndConsumed) {
  auto* list = static_cast<ModuleVersionEntry*>(std::calloc(2, sizeof(ModuleVersionEntry)));
  put(list[0].ModuleID, "00000000");
  put(list[0].ModuleNameJa, "BIOS-ja");
  put(list[0].ModuleNameEn, "System BIOS");
  put(list[0].ModuleStatus, "0");
  put(list[0].CurrentVersion, "1.2");
  put(list[0].PackageID, "NoPackage");
  put(list[0].ToolOutputLogJa, "ok-ja");
  put(list[0].ToolOutputLogEn, "ok-en");
  put(list[1].ModuleID, "01000000");
  put(list[1].Compare, "Upper");
  auto* ext = static_cast<VersionExtInfo*>(std::calloc(1, sizeof(VersionExtInfo)));
  put(ext->ModuleNameWithIdJa, "nja");
  put(ext->ModuleNameWithIdEn, "nen");
  ext->OptionCount = 2;
  ext->Options = static_cast<OptionVersionEntry*>(std::calloc(2, sizeof(OptionVersionEntry)));
  put(ext->Options[0].OptionID, "A");
  put(ext->Options[0].ModuleStatus, "3");
  put(ext->Options[1].OptionID, "B");
  put(ext->Options[1].CurrentVersion, "2.0");
  list[1].ExtInfo = ext;
  cmd_->ResInfo.ModuleList = list;
  cmd_->ResInfo.ModuleCount = 2;
  put(cmd_->ResInfo.Status, "600");

  std::string skeleton =
      "<Status>600</Status><AgentStatus></AgentStatus><AgentVersion></AgentVersion>"
      "<HostName></HostName><windows_os major=\"\" minor=\"\" sp_major=\"\" sp_minor=\"\" "
      "arch=\"\"><reference refid=\"\"></reference><product_type></product_type>"
      "</windows_os><OSName></OSName><target_machine model_name=\"\"><n_code "
      "parent_n_code=\"\"><child_n_code></child_n_code></n_code></target_machine>"
      "<Guid></Guid><Serial></Serial>";
  std::string modules =
      "<Module><ModuleID>00000000</ModuleID><module_name lang=\"ja\">BIOS-ja</module_name>"
      "<module_name lang=\"en\">System BIOS</module_name><ModuleStatus>0</ModuleStatus>"
      "<CurrentVersion>1.2</CurrentVersion><ExVersion></ExVersion><ExExVersion></ExExVersion>"
      "<PackageID>NoPackage</PackageID><Compare></Compare><ToolOutputLog lang=\"ja\">ok-ja"
      "</ToolOutputLog><ToolOutputLog lang=\"en\">ok-en</ToolOutputLog></Module>"
      "<Module><ModuleID>01000000</ModuleID><module_name lang=\"ja\"></module_name>"
      "<module_name lang=\"en\"></module_name><ModuleStatus></ModuleStatus>"
      "<CurrentVersion></CurrentVersion><ExVersion></ExVersion><ExExVersion></ExExVersion>"
      "<PackageID></PackageID><Compare>Upper</Compare><ToolOutputLog lang=\"ja\">"
      "</ToolOutputLog><ToolOutputLog lang=\"en\"></ToolOutputLog><extension>"
      "<module_name_with_id lang=\"ja\">nja</module_name_with_id><module_name_with_id "
      "lang=\"en\">nen</module_name_with_id><option id=\"A\"><ModuleStatus>3</ModuleStatus>"
      "<Compare></Compare><CurrentVersion></CurrentVersion><ExVersion></ExVersion>"
      "<ExExVersion></ExExVersion></option><option id=\"B\"><ModuleStatus></ModuleStatus>"
      "<Compare></Compare><CurrentVersion>2.0</CurrentVersion><ExVersion></ExVersion>"
      "<ExExVersion></ExExVersion></option></extension></Module>";
  EXPECT_EQ(build("1"), head("1") + skeleton + modules + kTail);
  EXPECT_EQ(cmd_->ResInfo.ModuleList, nullptr) << "the writing pass frees the list";
  EXPECT_EQ(build("1"), head("1") + skeleton + kTail) << "a second build lists no modules";
}

TEST_F(ResponseBuilderTest, UpdateAnswersPlaceTheOptionEchoAndVersions) {
  ResInfo& r = cmd_->ResInfo;
  put(r.Status, "601");
  put(r.ToolOutputLogJa, "ja");
  put(r.ToolOutputLogEn, "en");
  std::string logs =
      "<ToolOutputLog lang=\"ja\">ja</ToolOutputLog><ToolOutputLog lang=\"en\">en"
      "</ToolOutputLog>";
  EXPECT_EQ(build("3"), head("3") + "<Status>601</Status>" + logs + kTail);
  put(r.OptionEcho, "X");
  EXPECT_EQ(build("3"), head("3") +
                            "<Status>601</Status><Module><extension><option id=\"X\"></option>"
                            "</extension></Module>" +
                            logs + kTail);
  put(r.Status, "600");
  put(r.CurrentVersion, "2.0");
  put(r.ExVersion, "1.0");
  EXPECT_EQ(build("3", 1), head("3") +
                               "<Status>600</Status><Module><CurrentVersion>2.0</CurrentVersion>"
                               "<ExVersion>1.0</ExVersion><extension><option id=\"X\"></option>"
                               "</extension></Module>" +
                               logs + kTail);
  put(r.OptionEcho, "");
  EXPECT_EQ(build("3", 1), head("3") +
                               "<Status>600</Status><Module><CurrentVersion>2.0</CurrentVersion>"
                               "<ExVersion>1.0</ExVersion></Module>" +
                               logs + kTail);
}

TEST_F(ResponseBuilderTest, ProgressPutsTheOptionEchoLast) {
  ResInfo& r = cmd_->ResInfo;
  put(r.Status, "600");
  put(r.Progress, "40");
  put(r.OptionEcho, "opt1");
  EXPECT_EQ(build("4"), head("4") +
                            "<Status>600</Status><Progress>40</Progress><ToolOutputLog lang=\"ja\">"
                            "</ToolOutputLog><ToolOutputLog lang=\"en\"></ToolOutputLog><Module>"
                            "<extension><option id=\"opt1\"></option></extension></Module>" +
                            kTail);
}

TEST_F(ResponseBuilderTest, LogCollectionNamesTheArchiveAndAttachesItsPath) {
  put(cmd_->ResInfo.Status, "600");
  put(cmd_->ResInfo.FileName, "QMAgentLog_20261208.zip");
  EXPECT_EQ(build("7"),
            head("7") + "<Status>600</Status><FileName>QMAgentLog.zip</FileName>" + kTail);
  EXPECT_EQ(std::string(mpi_->ResFileName), std::string("/srv/qma/QMA_LOGROOT") +
                                                qma::platform::kPathSeparator +
                                                "QMAgentLog_20261208.zip");
  put(cmd_->ResInfo.Status, "900");
  put(cmd_->ResInfo.FileName, "");
  EXPECT_EQ(build("7"), head("7") + "<Status>900</Status><FileName></FileName>" + kTail);
  EXPECT_STREQ(mpi_->ResFileName, "");
}

TEST_F(ResponseBuilderTest, CodesOutsideTheTableBuildNothing) {
  for (const char* code : {"8", "-1", "99999999999"}) {
    put(cmd_->ResInfo.CommandCode, code);
    EXPECT_EQ(QMA_MakeSendData(mpi_, cmd_, 0), 0) << code;
    EXPECT_EQ(mpi_->ResText, nullptr) << code;
    EXPECT_EQ(mpi_->ResTextLength, 0u) << code;
  }
  EXPECT_EQ(QMA_MakeSendData(nullptr, cmd_, 0), 0);
  EXPECT_EQ(QMA_MakeSendData(mpi_, nullptr, 0), 0);
}

TEST_F(ResponseBuilderTest, WritingPassNeverOverrunsItsBuffer) {
  put(cmd_->ResInfo.CommandCode, "2");
  put(cmd_->ResInfo.Status, "600");
  char small[20];
  uint32_t size = 10;
  std::memset(small, 0, sizeof small);
  small[15] = 'z';
  ASSERT_EQ(QMA_BuildSendData(mpi_, cmd_, 0, 0, small, &size), 1);
  EXPECT_EQ(std::string(small), "<QMAMessa");
  EXPECT_EQ(small[15], 'z');
}

}  // namespace
