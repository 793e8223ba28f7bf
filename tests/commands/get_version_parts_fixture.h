// The get-version parts' test fixture: module folders under an in-process agent's package
// root, one module finished as after its tool ran, and the three version history files.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "commands/version/qma_get_version.h"
#include "common/status/qma_status.h"
#include "manager_if/agent_harness.h"

namespace qma::test {

namespace fs = std::filesystem;

inline std::string result_xml(const std::string& code, const std::string& version,
                              const std::string& options = "") {
  return "<?xml version='1.0' encoding='UTF-8'?><Response><result_code>" + code +
         "</result_code><data><cmp>Upper</cmp><version>" + version + "</version></data>" +
         (options.empty() ? "" : "<extension>" + options + "</extension>") + "</Response>";
}

class GetVersionParts : public ::testing::Test {
 protected:
  void SetUp() override {
    g_QMAgentSub.QMA_XML_GetModuleName = &QMA_XML_GetModuleName;
    g_QMAgentSub.QMA_XML_GetStatusMsg = &QMA_XML_GetStatusMsg;
    g_QMAgentSub.QMA_XML_CheckElementForFile = &QMA_XML_CheckElementForFile;
    g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithID = &QMA_XML_GetAttrValueForFile_WithID;
    root_ = agent_.roots_.bin() / "QMA_PKGROOT";
    std::memset(&request_, 0, sizeof request_);
    std::strcpy(request_.MessageVersion, "2.0");
  }

  fs::path module(const std::string& id, bool with_descriptor = true) {
    fs::path folder = root_ / id;
    fs::create_directories(folder);
    if (with_descriptor) {
      std::ofstream(folder / "QuillInfo.xml")
          << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><quillmend_package><module_id>" << id
          << "</module_id><package_id>PKG-" << id << "</package_id>"
          << "<module_name lang=\"ja\">モジュール</module_name>"
          << "<module_name lang=\"en\">Module " << id << "</module_name>"
          << "<module_name_with_id lang=\"ja\">モジュール(" << id << ")</module_name_with_id>"
          << "<module_name_with_id lang=\"en\">Module (" << id << ")</module_name_with_id>"
          << "<output_messages>"
          << "<message_list status_code=\"OK\"><message lang=\"ja\">成功</message>"
          << "<message lang=\"en\">Read.</message></message_list>"
          << "<message_list status_code=\"Busy\"><message lang=\"ja\">使用中</message>"
          << "<message lang=\"en\">Device busy.</message></message_list>"
          << "<message_list status_code=\"ErrorInAgent\"><message lang=\"ja\">内部エラー</message>"
          << "<message lang=\"en\">Agent error.</message></message_list>"
          << "</output_messages></quillmend_package>";
    }
    return folder;
  }

  // One module processed as after a tool run that left `result` (none when empty).
  ModuleVersionEntry process(const std::string& id, const std::string& result,
                             commands::ToolRun run = commands::ToolRun::kFinished) {
    fs::path folder = root_ / id;
    if (!result.empty()) std::ofstream(folder / "Get_version.xml") << result;
    ModuleVersionEntry entry{};
    qma::commands::finish_module(request_, folder.string(), id, run, entry);
    EXPECT_FALSE(fs::exists(folder / "Get_version.xml")) << "the result never survives a run";
    return entry;
  }

  static std::string status_file(const fs::path& folder) {
    return read_text(folder / "ModuleStatus");
  }

  qma::test::InProcessAgent agent_;
  fs::path root_;
  ReqInfo request_;
};

// ---- version history -------------------------------------------------------------------

using History = std::array<std::string, 3>;  // current, previous, the one before ("" = none)

inline void write_history(const fs::path& folder, const History& history,
                          const std::string& result) {
  const char* names[] = {"CurrentVersion.xml", "ExVersion.xml", "ExExVersion.xml"};
  for (int i = 0; i < 3; ++i) {
    fs::remove(folder / names[i]);
    if (!history[i].empty()) std::ofstream(folder / names[i]) << result_xml("OK", history[i]);
  }
  std::ofstream(folder / "Get_version.xml") << result_xml("OK", result);
}

inline History read_history(const fs::path& folder) {
  const char* names[] = {"CurrentVersion.xml", "ExVersion.xml", "ExExVersion.xml"};
  History history;
  for (int i = 0; i < 3; ++i) {
    std::string text = read_text(folder / names[i]);
    size_t at = text.find("<version>");
    history[i] =
        at == std::string::npos ? text : text.substr(at + 9, text.find('<', at + 9) - at - 9);
  }
  return history;
}

}  // namespace qma::test
