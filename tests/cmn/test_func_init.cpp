// QMA_FuncInit: binding QMAgentSub and the XML reader library by name. Refusing a broken
// installation, whose folder is the whole library search path, is tried in
// test_func_init_linux.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/cmn/qmcmn.h"
#include "common/qma_funcinit.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;

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
  EXPECT_EQ(g_QMAgentSub.QMA_XML_GetElementValueForFile(nullptr, qma::test::path_text(file).c_str(),
                                                        path, version, sizeof version),
            1);
  EXPECT_STREQ(version, "3.2");
  char again[260] = "";
  EXPECT_EQ(QMCmnXmlGetElementValue(qma::test::path_text(file).c_str(), path, nullptr, nullptr,
                                    again, sizeof again),
            0);
  EXPECT_STREQ(again, "3.2");
}

}  // namespace
