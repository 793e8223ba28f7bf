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
//   jobs FILE                  write how many job handles this process holds
//   inherit VERB ARGS...       run "VERB ARGS..." in a child that inherits handles, as cmd.exe
//                              starts programs (an argument "PARENT" becomes this process's
//                              id), and exit with its exit code
//   end ID FILE                try kill_process_group and kill_process_tree of ID; write the
//                              error numbers they failed with (0: they did not fail)
//   hold NAME READYFILE MS     own the named mutex twice, write READYFILE, sleep MS, then exit
//                              without releasing it
#include <windows.h>

#include <cstdint>
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

/// Starts this program again with `arguments`, inheriting handles; its process handle.
HANDLE start_inheriting(const std::string& arguments, DWORD* pid) {
  const std::wstring program = own_path();
  std::wstring command = L"\"win32_helper_child\" " + p::win32::widen(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &started)) {
    return nullptr;
  }
  ::CloseHandle(started.hThread);
  *pid = started.dwProcessId;
  return started.hProcess;
}

/// Handles of job objects in this process's handle table (only a job answers the query).
int job_handles() {
  int count = 0;
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (::QueryInformationJobObject(reinterpret_cast<HANDLE>(value),
                                    JobObjectBasicAccountingInformation, &info, sizeof info,
                                    nullptr)) {
      ++count;
    }
  }
  return count;
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
    DWORD grandchild = 0;
    HANDLE process = start_inheriting("sleep " + args[3], &grandchild);
    if (process == nullptr) return 103;
    ::CloseHandle(process);
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
  if (verb == "jobs") {
    return p::write_file_atomic(args[2], std::to_string(job_handles())).ok() ? 0 : 111;
  }
  if (verb == "inherit") {
    std::string rest;
    for (size_t i = 2; i < args.size(); ++i) {
      const std::string arg =
          args[i] == "PARENT" ? std::to_string(::GetCurrentProcessId()) : args[i];
      rest += (i > 2 ? " \"" : "\"") + arg + "\"";
    }
    DWORD pid = 0;
    HANDLE process = start_inheriting(rest, &pid);
    if (process == nullptr) return 112;
    DWORD code = 113;
    ::WaitForSingleObject(process, INFINITE);
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    return static_cast<int>(code);
  }
  if (verb == "end" && args.size() >= 4) {
    const auto id = static_cast<uint32_t>(std::strtoul(args[2].c_str(), nullptr, 10));
    auto group = p::kill_process_group(id);
    auto tree = p::kill_process_tree(id);
    const std::string text = std::to_string(group.ok() ? 0 : group.error()) + " " +
                             std::to_string(tree.ok() ? 0 : tree.error());
    return p::write_file_atomic(args[3], text).ok() ? 0 : 114;
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
