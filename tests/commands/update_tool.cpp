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
//   fifo FILE                        a FIFO in the file's place (whatever was there goes)
//   huge FILE WORD BYTES             a result file that begins well formed with WORD and is
//                                    then made BYTES long by a sparse extension (no disk used)
//   pidfile FILE                     the tool's own process id
//   wait-gone FILE MS                wait until FILE is gone (exit 3 when it is still there)
//   wait-file FILE MS                wait until FILE exists (exit 4 when it never appears)
//   sleep MS                         sleep
//   exit CODE                        end with CODE
//   crash                            end by SIGKILL, the way a crash ends a program
//   child MS PIDFILE                 start a helper in a session of its own that sleeps MS and
//                                    outlives the tool; its process id goes to PIDFILE
//   daemon MS PIDFILE                start a helper that stays in the tool's process group, sleeps
//                                    MS and outlives the tool; its process id goes to PIDFILE
//   run PROGRAM [ARG...]             start PROGRAM (no shell) and wait for it
//   wait-parent-gone MS              wait until the process that started the tool has ended
//                                    (exit 5 when it has not)
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/xml_text.h"

extern char** environ;

namespace {

void sleep_ms(long ms) {
  if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000);
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Written under a temporary name and renamed, so a reader never sees half a file.
bool write_whole(const std::string& path, const std::string& text) {
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary);
    out << text;
    if (!out) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

bool write_in_place(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

int run_program(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::vector<std::string> args(argv, argv + argc);
  const pid_t parent = getppid();
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
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) == nullptr) return 102;
      std::string text = std::string(cwd) + "\n";
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
    } else if (step == "fifo") {
      std::remove(arg(1).c_str());
      if (mkfifo(arg(1).c_str(), 0644) != 0) return 113;
    } else if (step == "huge") {
      std::string head = "<?xml version=\"1.0\"?>\n<Response><result_code>" +
                         qma::common::xml_escaped(arg(2)) + "</result_code>";
      std::string temp = arg(1) + ".part";
      if (!write_in_place(temp, head)) return 114;
      if (truncate(temp.c_str(), std::atoll(arg(3).c_str())) != 0) return 114;
      if (std::rename(temp.c_str(), arg(1).c_str()) != 0) return 114;
    } else if (step == "pidfile") {
      if (!write_whole(arg(1), std::to_string(getpid()) + "\n")) return 112;
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
    } else if (step == "crash") {
      kill(getpid(), SIGKILL);
    } else if (step == "child") {
      pid_t pid = fork();
      if (pid < 0) return 108;
      if (pid == 0) {
        setsid();
        sleep_ms(std::atol(arg(1).c_str()));
        _exit(0);
      }
      if (!write_whole(arg(2), std::to_string(pid) + "\n")) return 109;
    } else if (step == "daemon") {
      pid_t pid = fork();
      if (pid < 0) return 108;
      if (pid == 0) {
        sleep_ms(std::atol(arg(1).c_str()));
        _exit(0);
      }
      if (!write_whole(arg(2), std::to_string(pid) + "\n")) return 109;
    } else if (step == "wait-parent-gone") {
      long ms = std::atol(arg(1).c_str());
      for (long waited = 0; getppid() == parent && waited < ms; waited += 20) sleep_ms(20);
      if (getppid() == parent) return 5;
    } else if (step == "run") {
      std::vector<std::string> program(words.begin() + 1, words.end());
      if (program.empty() || run_program(program) < 0) return 110;
    } else {
      return 111;
    }
  }
  return 0;
}
