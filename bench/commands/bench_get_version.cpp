// Get-version over a package root of 100 modules whose tools answer at once, beside spawning
// and reaping the same 100 tools directly: the ratio is what the agent adds to the tools' own
// cost (reading descriptors and results, statuses, history, logging, the answer).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bmcgate/bmcgate_fakes.h"
#include "manager_if/agent_harness.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
constexpr int kModules = 100;
constexpr int kRounds = 7;

double now_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::vector<fs::path> make_package_root(const fs::path& root) {
  std::vector<fs::path> folders;
  for (int i = 0; i < kModules; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "10%06d", i);
    fs::path folder = root / id;
    fs::create_directories(folder);
    fs::copy_file(QMA_BENCH_GV_TOOL, folder / "gv", fs::copy_options::overwrite_existing);
    std::ofstream(folder / "QuillInfo.xml")
        << "<?xml version=\"1.0\"?>\n<quillmend_package><module_id>" << id
        << "</module_id><package_id>P" << id << "</package_id><module_name lang=\"ja\">M"
        << "</module_name><module_name lang=\"en\">Module " << id << "</module_name>"
        << "<supported_operating_systems><windows_os major=\"*\" minor=\"*\" sp_major=\"*\" "
        << "sp_minor=\"*\" arch=\"*\"><reference refid=\"r\"/></windows_os>"
        << "</supported_operating_systems><usage refid=\"r\"><get_version timeout=\"30\">gv"
        << "</get_version></usage><output_messages><message_list status_code=\"OK\">"
        << "<message lang=\"ja\">OK</message><message lang=\"en\">OK</message></message_list>"
        << "</output_messages></quillmend_package>\n";
    folders.push_back(folder);
  }
  return folders;
}

// One get-version request through the agent's pipe; false unless all modules were answered.
bool get_versions() {
  auto reply = qma::test::exchange(
      qma::test::request_frame(qma::test::request_xml("1", "BENCH", "2.0")), 0, 120000);
  std::string text = qma::test::answer_text(reply.answer);
  int modules = 0;
  for (size_t at = text.find("<CurrentVersion>1.0.0<"); at != std::string::npos;
       at = text.find("<CurrentVersion>1.0.0<", at + 1)) {
    ++modules;
  }
  return modules == kModules;
}

bool spawn_tools(const std::vector<fs::path>& folders) {
  for (const fs::path& folder : folders) {
    auto tool = qma::platform::Process::spawn((folder / "gv").string(), "\"gv\" ", folder.string());
    if (!tool.ok() || tool->wait(30000) != qma::platform::WaitStatus::kSignaled) return false;
    fs::remove(folder / "Get_version.xml");
  }
  return true;
}

}  // namespace

int main() {
  qma::test::InProcessAgent agent;
  g_QMAgentSub.QMA_XML_GetModuleName = &QMA_XML_GetModuleName;
  g_QMAgentSub.QMA_XML_GetStatusMsg = &QMA_XML_GetStatusMsg;
  g_QMAgentSub.QMA_XML_CheckElementForFile = &QMA_XML_CheckElementForFile;
  g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithID = &QMA_XML_GetAttrValueForFile_WithID;
  // The BMC is asked once per request; a bench host without one would add its retries.
  qma::test::FakeBmc bmc;
  bmc.replies = {qma::test::device_id_reply(0x01, 0x02)};
  qma::bmcgate::set_ipmi_driver(&bmc);
  std::vector<fs::path> folders = make_package_root(agent.roots_.bin() / "QMA_PKGROOT");
  agent.start();

  double start = now_ms();
  bool ok = get_versions();  // the first run writes every module's history and status
  double first = now_ms() - start;
  std::vector<double> agent_ms;
  std::vector<double> spawn_ms;
  for (int round = 0; round < kRounds && ok; ++round) {
    start = now_ms();
    ok = get_versions();
    agent_ms.push_back(now_ms() - start);
    start = now_ms();
    ok = ok && spawn_tools(folders);
    spawn_ms.push_back(now_ms() - start);
  }
  agent.stop();
  qma::bmcgate::set_ipmi_driver(nullptr);
  if (!ok) {
    std::fprintf(stderr, "bench_get_version: a run did not answer every module\n");
    return 1;
  }
  double versions = median(agent_ms);
  double spawns = median(spawn_ms);
  std::printf("get-version over %d modules (first run, histories written): %.1f ms\n", kModules,
              first);
  std::printf("get-version over %d modules: %.1f ms (median of %d)\n", kModules, versions, kRounds);
  std::printf("spawn and reap the same %d tools: %.1f ms (median of %d)\n", kModules, spawns,
              kRounds);
  std::printf("ratio get-version / spawn: %.2fx (target: at most 2x)\n", versions / spawns);
  return 0;
}
