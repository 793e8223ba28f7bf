// The cost of the library's one-reader-per-lookup design: each benchmark prints the time of one
// call and, beside it, the time of one plain reader pass over the same bytes and the ratio.
#include <benchmark/benchmark.h>
#include <libxml/xmlreader.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "xmlsub/qmagentsub.h"

namespace {

using Clock = std::chrono::steady_clock;

int quiet_log(const char*, const char*, int, const char*, ...) {
  return 0;
}

const std::string kUpdateRequest = R"(<?xml version="1.0" encoding="UTF-8"?>
<QMMMessage MessageVersion="2.0">
  <MessageID>20261208001</MessageID>
  <CommandCode>3</CommandCode>
  <QMMData>
    <ModuleID>00120000</ModuleID>
    <PackageID>QM-PKG-00120000-0102</PackageID>
    <Mode>update_normal</Mode>
    <ReplyToAddress>192.168.10.5</ReplyToAddress>
    <ReplyToPort>8443</ReplyToPort>
    <extension><option id="OPT-01"/></extension>
  </QMMData>
</QMMMessage>
)";

// A package descriptor of about 20 KB whose wanted message list is the last one.
std::string make_descriptor(int& last_code) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quillmend_package>\n"
      "  <module_id>00120000</module_id>\n  <package_id>QM-PKG-00120000-0102</package_id>\n"
      "  <module_name lang=\"ja\">JA</module_name>\n"
      "  <module_name lang=\"en\">Storage controller firmware</module_name>\n"
      "  <output_messages>\n";
  int code = 600;
  while (xml.size() < 20 * 1024 - 400) {
    ++code;
    const std::string c = std::to_string(code);
    xml += "    <message_list status_code=\"" + c + "\">\n      <message lang=\"ja\">JA " + c +
           " message text for the administrator</message>\n      <message lang=\"en\">Result " + c +
           ": the update tool finished with this status code.</message>\n"
           "    </message_list>\n";
  }
  xml += "  </output_messages>\n</quillmend_package>\n";
  last_code = code;
  return xml;
}

// One plain reader pass: open, read every node, free.
void plain_pass(xmlTextReaderPtr reader) {
  while (xmlTextReaderRead(reader) == 1) {
  }
  xmlFreeTextReader(reader);
}

template <typename F>
double nanoseconds_per_call(F&& f, int calls) {
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) f();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / calls;
}

// Runs the benchmark loop over `call` and reports the plain pass and the ratio beside it.
template <typename Call, typename Pass>
void run_with_baseline(benchmark::State& state, Call&& call, Pass&& pass) {
  const double pass_ns = nanoseconds_per_call(pass, 2000);
  const auto start = Clock::now();
  for (auto _ : state) benchmark::DoNotOptimize(call());
  const double call_ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                         static_cast<double>(state.iterations());
  state.counters["plain_pass_ns"] = pass_ns;
  state.counters["ratio"] = call_ns / pass_ns;
}

void BM_ParseUpdateRequest(benchmark::State& state) {
  QMA_XML_InitParser();
  run_with_baseline(
      state,
      [] {
        ReqInfo req{};
        QMAConfig config{};
        return QMA_XML_GetManagerRequestInfo(quiet_log, kUpdateRequest.data(),
                                             static_cast<int>(kUpdateRequest.size()), &req,
                                             &config);
      },
      [] {
        plain_pass(xmlReaderForMemory(kUpdateRequest.data(),
                                      static_cast<int>(kUpdateRequest.size()), nullptr, nullptr,
                                      XML_PARSE_NONET));
      });
  state.SetLabel(std::to_string(kUpdateRequest.size()) + " bytes");
}
BENCHMARK(BM_ParseUpdateRequest);

void BM_GetStatusMsg(benchmark::State& state) {
  QMA_XML_InitParser();
  char dir_template[] = "/tmp/qma-bench-xmlsub-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    state.SkipWithError("cannot make a temporary folder");
    return;
  }
  const std::filesystem::path dir = dir_template;
  int last_code = 0;
  const std::string xml = make_descriptor(last_code);
  const std::string file = (dir / "QuillInfo.xml").string();
  std::ofstream(file, std::ios::binary) << xml;
  const std::string code = std::to_string(last_code);

  run_with_baseline(
      state,
      [&] {
        char ja[1024];
        char en[1024];
        return QMA_XML_GetStatusMsg(quiet_log, file.c_str(), code.c_str(), ja, sizeof ja, en,
                                    sizeof en);
      },
      [&] { plain_pass(xmlReaderForFile(file.c_str(), nullptr, XML_PARSE_NONET)); });
  state.SetLabel(std::to_string(xml.size()) + " bytes, last list");
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_GetStatusMsg);

}  // namespace
