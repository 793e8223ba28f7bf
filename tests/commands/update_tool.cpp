// A stand-in update tool whose behaviour each test chooses: it runs the steps of a plan file,
// one per line, in its current folder (the module folder the agent starts it in).
//
//   qma_test_update_tool PLAN [ARG...]
//
// Steps (blank lines and lines starting with '#' are skipped; TEXT "@N" stands for argv[N]):
//   report FILE                      write the current folder, then every argv entry, one a line
//   write FILE WORD [data=TEXT] [option=TEXT] [version=TEXT]
//                                    a well-formed result file, replaced in one rename
//   half FILE                        the first half of a result file, written in place
//   garbage FILE                     bytes that are not XML
//   touch FILE                       an empty marker file
//   huge FILE WORD BYTES             a result file that begins well formed with WORD and is
//                                    then made BYTES long by a sparse extension (no disk used)
//   pidfile FILE                     the tool's own process id
//   wait-gone FILE MS                wait until FILE is gone (exit 3 when it is still there)
//   wait-file FILE MS                wait until FILE exists (exit 4 when it never appears)
//   sleep MS                         sleep
//   exit CODE                        end with CODE
//
// On Linux also (update_tool_linux.cpp):
//   fifo FILE                        a FIFO in the file's place (whatever was there goes)
//   crash                            end by SIGKILL, the way a crash ends a program
//   child MS PIDFILE                 start a helper in a session of its own that sleeps MS and
//                                    outlives the tool; its process id goes to PIDFILE
//   daemon MS PIDFILE                start a helper that stays in the tool's process group, sleeps
//                                    MS and outlives the tool; its process id goes to PIDFILE
//   run PROGRAM [ARG...]             start PROGRAM (no shell) and wait for it
//   wait-parent-gone MS              wait until the process that started the tool has ended
//                                    (exit 5 when it has not)
#include "update_tool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/xml_text.h"
#include "platform/process.h"

namespace qma::test {

void sleep_ms(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool write_whole(const std::string& path, const std::string& text) {
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary);
    out << text;
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  return !ec;
}

}  // namespace qma::test

namespace {

using qma::test::sleep_ms;
using qma::test::write_whole;

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

bool write_in_place(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::vector<std::string> args(argv, argv + argc);
  auto value = [&args](const std::string& text) {
    if (text.size() > 1 && text[0] == '@') {
      size_t n = std::strtoul(text.c_str() + 1, nullptr, 10);
      return n < args.size() ? args[n] : std::string();
    }
    return text;
  };
  std::ifstream plan(args[1]);
  if (!plan) return 101;
  std::string line;
  while (std::getline(plan, line)) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string& step = words[0];
    auto arg = [&words](size_t i) { return i < words.size() ? words[i] : std::string(); };
    if (step == "report") {
      std::error_code ec;
      const std::u8string cwd = std::filesystem::current_path(ec).u8string();
      if (ec) return 102;
      std::string text = std::string(cwd.begin(), cwd.end()) + "\n";
      for (const std::string& a : args) text += a + "\n";
      if (!write_whole(arg(1), text)) return 103;
    } else if (step == "write") {
      std::string data, option, version;
      for (size_t i = 3; i < words.size(); ++i) {
        const std::string& w = words[i];
        size_t eq = w.find('=');
        std::string key = w.substr(0, eq);
        std::string text = eq == std::string::npos ? "" : value(w.substr(eq + 1));
        if (key == "data") data = text;
        if (key == "option") option = text;
        if (key == "version") version = text;
      }
      std::string xml = "<?xml version=\"1.0\"?>\n<Response><result_code>" +
                        qma::common::xml_escaped(arg(2)) + "</result_code>";
      if (!version.empty()) {
        xml += "<data><version>" + qma::common::xml_escaped(version) + "</version></data>";
      } else if (!data.empty()) {
        xml += "<data>" + qma::common::xml_escaped(data) + "</data>";
      }
      if (!option.empty()) {
        xml += "<extension><option id=\"" + qma::common::xml_escaped(option) +
               "\"></option></extension>";
      }
      xml += "</Response>\n";
      if (!write_whole(arg(1), xml)) return 104;
    } else if (step == "half") {
      if (!write_in_place(arg(1), "<?xml version=\"1.0\"?>\n<Response><result_co")) return 105;
    } else if (step == "garbage") {
      if (!write_in_place(arg(1), std::string("\x01\x02 not xml <<< &&& \xff", 20))) return 106;
    } else if (step == "huge") {
      std::string head = "<?xml version=\"1.0\"?>\n<Response><result_code>" +
                         qma::common::xml_escaped(arg(2)) + "</result_code>";
      std::string temp = arg(1) + ".part";
      if (!write_in_place(temp, head)) return 114;
      std::error_code ec;
      std::filesystem::resize_file(temp, std::strtoull(arg(3).c_str(), nullptr, 10), ec);
      if (ec) return 114;
      std::filesystem::rename(temp, arg(1), ec);
      if (ec) return 114;
    } else if (step == "pidfile") {
      if (!write_whole(arg(1), std::to_string(qma::platform::current_process_id()) + "\n")) {
        return 112;
      }
    } else if (step == "touch") {
      if (!write_whole(arg(1), "")) return 107;
    } else if (step == "wait-gone" || step == "wait-file") {
      bool want_gone = step == "wait-gone";
      long ms = std::atol(arg(2).c_str());
      for (long waited = 0; exists(arg(1)) == want_gone && waited < ms; waited += 20) sleep_ms(20);
      if (exists(arg(1)) == want_gone) return want_gone ? 3 : 4;
    } else if (step == "sleep") {
      sleep_ms(std::atol(arg(1).c_str()));
    } else if (step == "exit") {
      return std::atoi(arg(1).c_str());
    } else if (auto found = qma::test::system_tool_steps().find(step);
               found != qma::test::system_tool_steps().end()) {
      if (int code = found->second(qma::test::ToolStep{words, args}); code != 0) return code;
    } else {
      return 111;
    }
  }
  return 0;
}
