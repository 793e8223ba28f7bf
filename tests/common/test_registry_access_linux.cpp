// The agent's registry access on Linux, where the registry is a text file under the state
// folder: a damaged file gives defaults, is logged and keeps what it cannot parse.
#include <gtest/gtest.h>

#include <string>

#include "common/host/qma_system.h"
#include "common/registry_access_fixture.h"
#include "platform/registry.h"

namespace {

using qma::test::kConfig;
using qma::test::RegistryAccess;

TEST_F(RegistryAccess, ADamagedFileGivesDefaultsLogsTheProblemAndKeepsOtherKeys) {
  write_registry(
      "Windows Registry Editor Version "
      "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik\\QMAgent\\Config]\n"
      "\"LOGMAXNUM\"=dword:0000\x01\x02\n@@@ garbage @@@\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Keep\"=\"me\"\n\"Cut\"=\"in the mid");
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "AGENT_EFFECT", 1), 1u);
  EXPECT_EQ(QMA_Cmn_GetRegistory_dword(kConfig, "LOGMAXNUM", 10000), 10000u);
  std::string log = service_log();
  EXPECT_NE(log.find("Registry file error!"), std::string::npos) << log;
  EXPECT_NE(log.find("@@@ garbage @@@"), std::string::npos) << "the log names the bad line";

  std::string text = registry_text();
  EXPECT_NE(text.find("@@@ garbage @@@\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Cut\"=\"in the mid\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"LOGMAXNUM\"=dword:00002710"), std::string::npos) << text;
  EXPECT_EQ(stored("SOFTWARE\\Other", "Keep").data, std::string("me", 3));
}

}  // namespace
