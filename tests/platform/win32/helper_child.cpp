// A child program for the Windows process and mutex tests; its first argument chooses what it
// does (arguments are taken from the wide command line, so UTF-8 paths arrive whole).
//
//   exit CODE                  exit with CODE
//   sleep MS                   sleep, then exit 0
//   report FILE                write the current folder and the command line as received
//   tree PIDFILE MS [leave]    start a grandchild that sleeps MS, inheriting handles as cmd.exe
//                              starts programs; write its id; sleep MS (with "leave": exit 0)
//   agent PIDFILE GRANDFILE MS [leave]
//                              start "tree GRANDFILE MS [leave]" as the agent starts a tool,
//                              write the tool's id, exit without waiting (as a crashed agent
//                              leaves it)
//   hold NAME READYFILE MS     own the named mutex twice, write READYFILE, sleep MS, then exit
//                              without releasing it
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/win32/wide.h"

namespace {

namespace p = qma::platform;

std::wstring own_path() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

int start_grandchild(const std::string& ms) {
  const std::wstring program = own_path();
  std::wstring command = L"\"win32_helper_child\" sleep " + p::win32::widen(ms);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &started)) {
    return 0;
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return static_cast<int>(started.dwProcessId);
}

}  // namespace

int main() {
  const std::string line = p::win32::narrow(::GetCommandLineW());
  const std::vector<std::string> args = p::split_command_line(line);
  if (args.size() < 3) return 100;
  const std::string& verb = args[1];
  if (verb == "exit") return static_cast<int>(std::strtoul(args[2].c_str(), nullptr, 10));
  if (verb == "sleep") {
    ::Sleep(static_cast<DWORD>(std::atol(args[2].c_str())));
    return 0;
  }
  if (verb == "report") {
    wchar_t folder[MAX_PATH];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) return 101;
    const std::string text = p::win32::narrow(std::wstring_view(folder, length)) + "\n" + line;
    return p::write_file_atomic(args[2], text).ok() ? 0 : 102;
  }
  if (verb == "tree" && args.size() >= 4) {
    const int grandchild = start_grandchild(args[3]);
    if (grandchild == 0) return 103;
    if (!p::write_file_atomic(args[2], std::to_string(grandchild)).ok()) return 104;
    if (args.size() >= 5 && args[4] == "leave") return 0;
    ::Sleep(static_cast<DWORD>(std::atol(args[3].c_str())));
    return 0;
  }
  if (verb == "agent" && args.size() >= 5) {
    const std::string program = p::win32::narrow(own_path());
    std::string line = "\"win32_helper_child\" tree \"" + args[3] + "\"";
    for (size_t i = 4; i < args.size(); ++i) line += " " + args[i];
    auto tool = p::Process::spawn(program, line, "");
    if (!tool.ok()) return 105;
    return p::write_file_atomic(args[2], std::to_string(tool->id())).ok() ? 0 : 106;
  }
  if (verb == "hold" && args.size() >= 5) {
    auto mutex = p::NamedMutex::create(args[2]);
    if (!mutex.ok()) return 107;
    if (mutex->wait(p::kInfinite) != p::WaitStatus::kSignaled) return 108;
    if (mutex->wait(0) != p::WaitStatus::kSignaled) return 109;
    if (!p::write_file_atomic(args[3], "owned").ok()) return 110;
    ::Sleep(static_cast<DWORD>(std::atol(args[4].c_str())));
    // Ends owning it twice: the mutex is abandoned with the process.
    ::ExitProcess(0);
  }
  return 100;
}
