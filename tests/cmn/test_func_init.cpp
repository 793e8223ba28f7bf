// QMA_FuncInit: binding QMAgentSub and the XML reader library by name, and refusing a broken
// installation.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/cmn/qmcmn.h"
#include "common/qma_funcinit.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;

std::string g_self;

constexpr const char* kChildFlag = "--func-init-child";
constexpr int kChildBindFailed = 3;

TEST(FuncInit, BindsEveryExportAndTheReaderLibrary) {
  ASSERT_EQ(QMA_FuncInit(), 0);
  const void* entries[] = {
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_InitParser),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_CleanupParser),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetManagerRequestInfo),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetElementValueForFile),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetElemValueForFile_WithAttr),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetAttributeValueForFile),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithID),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithAttrs),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetStatusMsg),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_GetModuleName),
      reinterpret_cast<const void*>(g_QMAgentSub.QMA_XML_CheckElementForFile)};
  for (const void* entry : entries) EXPECT_NE(entry, nullptr);

  // The bound exports and the bound reader answer on a real file.
  qma::test::TempRoots roots;
  const fs::path file = roots.bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml";
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "<service><version>3.2</version></service>";
  g_QMAgentSub.QMA_XML_InitParser();
  const char* path[] = {"service", "version", ""};
  char version[260] = "";
  EXPECT_EQ(g_QMAgentSub.QMA_XML_GetElementValueForFile(nullptr, file.c_str(), path, version,
                                                        sizeof version),
            1);
  EXPECT_STREQ(version, "3.2");
  char again[260] = "";
  EXPECT_EQ(QMCmnXmlGetElementValue(file.c_str(), path, nullptr, nullptr, again, sizeof again), 0);
  EXPECT_STREQ(again, "3.2");
}

// Runs a copy of this program in its own folder, so that the library search path (the
// program's folder) holds only what the case puts there.
int run_copy_in(const fs::path& folder) {
  const fs::path copy = folder / "func_init_child";
  fs::copy_file(g_self, copy);
  const std::string command = "env -u LD_LIBRARY_PATH '" + copy.string() + "' " + kChildFlag;
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FuncInit, RefusesAMissingLibraryOrAMissingExport) {
  struct Case {
    const char* name;
    const char* library;  // copied beside the program as libQMAgentSub.so, or none
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"library_absent", nullptr, kChildBindFailed},
      {"export_missing", QMA_TEST_PARTIAL_XMLSUB, kChildBindFailed},
      {"complete_installation", QMA_TEST_XMLSUB, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qma::test::TempRoots roots;
    if (c.library != nullptr) fs::copy_file(c.library, roots.bin() / "libQMAgentSub.so");
    EXPECT_EQ(run_copy_in(roots.bin()), c.exit_code);
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_self = fs::canonical("/proc/self/exe").string();
  if (argc > 1 && std::strcmp(argv[1], kChildFlag) == 0) {
    return QMA_FuncInit() == 0 ? 0 : kChildBindFailed;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
