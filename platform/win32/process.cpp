// Child processes: start with CreateProcessW in a job object of their own, wait, kill a tree
// (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs: failures are
// returned and recorded as the thread's last error (GetLastError()).
//
// Every started program runs in a job object of its own, so that killing "the tool and
// everything it started" is one TerminateJobObject, as one kill of a process group is on
// Linux. The job is named after the tool's process id, so that a later start of the agent
// finds it by the recorded id after a crash. A named job loses its name when its last handle
// closes, so the tool itself gets an inheritable handle of it: the name lives as long as the
// tool, and as long as any descendant that inherited the handle.
#include "platform/process.h"

#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/win32/fail.h"
#include "platform/win32/handle.h"
#include "platform/win32/object_name.h"
#include "platform/win32/wide.h"

namespace qma::platform {

const char* const kScriptExtension = ".bat";

namespace {

using win32::Handle;

constexpr uint32_t kStillActive = STILL_ACTIVE;
/// The exit code of a process ended from outside, as `taskkill /F` leaves it.
constexpr UINT kKilledExitCode = 1;
/// Access to a process that is waited for, asked about and possibly ended.
constexpr DWORD kProcessAccess =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
/// Access to a job that is asked about and ended.
constexpr DWORD kJobAccess = JOB_OBJECT_QUERY | JOB_OBJECT_TERMINATE;
/// Tries at a job name that leftovers of an earlier tool with the same id still hold.
constexpr int kJobNameTries = 50;
/// Reads of a job's process list while processes keep joining it.
constexpr int kProcessListTries = 8;

using win32::fail;
using win32::fail_status;

/// The name of the job of the tool with this process id.
std::wstring job_name(uint32_t pid) {
  return win32::widen(win32::state_tagged("Local\\QMAgent.job." + std::to_string(pid)));
}

/// The job of a tool by its process id; none when no such job exists (error recorded).
Handle open_job(uint32_t pid) {
  Handle job(::OpenJobObjectW(kJobAccess, FALSE, job_name(pid).c_str()));
  if (!job) win32::record_last_error();
  return job;
}

/// The ids of the processes in a job (learnt from the job itself, which needs no access to
/// the processes).
std::vector<ULONG_PTR> job_process_ids(HANDLE job) {
  std::vector<ULONG_PTR> buffer(64);
  for (int attempt = 1;; ++attempt) {
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    const BOOL ok =
        ::QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, size, nullptr);
    // The list is cut short when processes join while it is read: ask again with room.
    if ((ok || ::GetLastError() == ERROR_MORE_DATA) &&
        (list->NumberOfProcessIdsInList >= list->NumberOfAssignedProcesses ||
         attempt == kProcessListTries)) {
      return {list->ProcessIdList, list->ProcessIdList + list->NumberOfProcessIdsInList};
    }
    if (!ok && ::GetLastError() != ERROR_MORE_DATA) return {};
    buffer.resize(buffer.size() * 2 + list->NumberOfAssignedProcesses);
  }
}

bool job_holds(HANDLE job, uint32_t pid) {
  for (ULONG_PTR member : job_process_ids(job)) {
    if (member == pid) return true;
  }
  return false;
}

/// True when the calling process runs in this job: it must never end its own.
bool holds_caller(HANDLE job) {
  return job_holds(job, ::GetCurrentProcessId());
}

DWORD active_processes(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                   nullptr)) {
    return 0;
  }
  return info.ActiveProcesses;
}

/// A fresh job named after pid. A job of that name that exists already holds what an earlier
/// tool with the same id left behind (ids are given out again on Windows): it is ended, as
/// the end of that tool would have ended it, and the name taken once it is free. Unnamed when
/// the name cannot be had.
Handle make_job(uint32_t pid) {
  const std::wstring name = job_name(pid);
  for (int attempt = 0; attempt < kJobNameTries; ++attempt) {
    Handle job(::CreateJobObjectW(nullptr, name.c_str()));
    if (!job) break;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return job;
    if (holds_caller(job.get())) break;
    ::TerminateJobObject(job.get(), kKilledExitCode);
    job.reset();
    ::Sleep(10);
  }
  return Handle(::CreateJobObjectW(nullptr, nullptr));
}

/// Puts a suspended process into a job of its own and hands it a handle of the job, so the
/// job's name outlives the agent's handle. No job when the system refuses one (before
/// Windows 8 a process already in a job cannot join another): a kill then ends the process
/// alone.
Handle enrol_in_job(uint32_t pid, HANDLE process) {
  Handle job = make_job(pid);
  if (!job || !::AssignProcessToJobObject(job.get(), process)) return Handle();
  HANDLE in_child = nullptr;
  // Inheritable, so a descendant started with inherited handles keeps the name alive after
  // the tool has ended; query access only, so nobody ends the job through it by mistake.
  // Without it the name lives only as long as the agent's handle.
  ::DuplicateHandle(::GetCurrentProcess(), job.get(), process, &in_child, JOB_OBJECT_QUERY, TRUE,
                    0);
  return job;
}

/// Ends a job unless the caller runs in it; true when it held a process.
Result<bool> end_job(HANDLE job) {
  if (holds_caller(job)) return fail<bool>(ERROR_INVALID_PARAMETER);
  const bool something = active_processes(job) > 0;
  if (!::TerminateJobObject(job, kKilledExitCode)) {
    return Result<bool>::failure(win32::record_last_error());
  }
  return something;
}

bool has_ended(HANDLE process) {
  return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

/// Ends one process; a process that has ended already counts as ended.
Status end_process(HANDLE process) {
  if (::TerminateProcess(process, kKilledExitCode)) return Status::success();
  const int error = win32::record_last_error();
  if (has_ended(process)) return Status::success();
  return Status::failure(error);
}

/// The interpreter of batch files, as the C run-time's system() finds it.
std::string command_interpreter() {
  if (auto comspec = get_nonempty_env("ComSpec")) return *comspec;
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "cmd.exe";
  return join_path(win32::narrow(std::wstring_view(folder, length)), "cmd.exe");
}

}  // namespace

struct Process::Impl {
  Handle process;
  Handle job;  // none for an opened process, or when the system gave the child no job
  uint32_t pid = 0;
};

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;
Process::~Process() = default;

Result<Process> Process::spawn(std::string_view application_path, std::string_view command_line,
                               std::string_view current_dir) {
  if (application_path.empty() || application_path.find('\0') != std::string_view::npos ||
      command_line.find('\0') != std::string_view::npos ||
      current_dir.find('\0') != std::string_view::npos) {
    return fail<Process>(ERROR_INVALID_PARAMETER);
  }
  const std::wstring application = win32::widen(application_path);
  // CreateProcessW may write into the command line: it gets a copy of its own.
  std::wstring command = win32::widen(command_line);
  const std::wstring folder = win32::widen(current_dir);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  // Suspended until it is in its job, so nothing it starts escapes the job.
  if (!::CreateProcessW(application.c_str(), command.empty() ? nullptr : command.data(), nullptr,
                        nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &started)) {
    return fail<Process>(static_cast<int>(::GetLastError()));
  }
  auto impl = std::make_unique<Impl>();
  impl->process = Handle(started.hProcess);
  Handle thread(started.hThread);
  impl->pid = started.dwProcessId;
  impl->job = enrol_in_job(impl->pid, impl->process.get());
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    const int error = win32::record_last_error();
    ::TerminateProcess(impl->process.get(), kKilledExitCode);
    return Result<Process>::failure(error);
  }
  return Process(std::move(impl));
}

Result<Process> Process::open(uint32_t pid) {
  if (pid == 0) return fail<Process>(ERROR_INVALID_PARAMETER);
  Handle process(::OpenProcess(kProcessAccess, FALSE, pid));
  if (!process) return Result<Process>::failure(win32::record_last_error());
  // A process that has ended but whose object another handle keeps is no longer there; the
  // system says so for an id it no longer knows.
  if (has_ended(process.get())) return fail<Process>(ERROR_INVALID_PARAMETER);
  auto impl = std::make_unique<Impl>();
  impl->process = std::move(process);
  impl->pid = pid;
  return Process(std::move(impl));
}

uint32_t Process::id() const {
  return impl_ ? impl_->pid : 0;
}

uint32_t Process::exit_code() const {
  DWORD code = kStillActive;
  if (!impl_ || !::GetExitCodeProcess(impl_->process.get(), &code)) return kStillActive;
  return code;
}

WaitStatus Process::wait(uint32_t timeout_ms) {
  if (!impl_) {
    set_last_error(ERROR_INVALID_HANDLE);
    return WaitStatus::kFailed;
  }
  switch (::WaitForSingleObject(impl_->process.get(),
                                timeout_ms == kInfinite ? INFINITE : timeout_ms)) {
    case WAIT_OBJECT_0:
      return WaitStatus::kSignaled;
    case WAIT_TIMEOUT:
      return WaitStatus::kTimeout;
    default:
      win32::record_last_error();
      return WaitStatus::kFailed;
  }
}

Status Process::kill_tree() {
  if (!impl_) return fail_status(ERROR_INVALID_HANDLE);
  if (impl_->job) {
    // Also what the tool left running after its own end.
    auto ended = end_job(impl_->job.get());
    return ended.ok() ? Status::success() : Status::failure(ended.error());
  }
  if (impl_->pid == ::GetCurrentProcessId()) return fail_status(ERROR_INVALID_PARAMETER);
  if (Handle job = open_job(impl_->pid)) {
    if (job_holds(job.get(), impl_->pid)) {
      auto ended = end_job(job.get());
      return ended.ok() ? Status::success() : Status::failure(ended.error());
    }
  }
  return end_process(impl_->process.get());
}

Status kill_process_tree(uint32_t pid) {
  if (pid == 0 || pid == ::GetCurrentProcessId()) return fail_status(ERROR_INVALID_PARAMETER);
  Handle process(::OpenProcess(kProcessAccess, FALSE, pid));
  const int open_error = process ? 0 : win32::record_last_error();
  if (Handle job = open_job(pid)) {
    // The job of that id is the tool's, unless the id now names a process outside it.
    if (!process || job_holds(job.get(), pid)) {
      auto ended = end_job(job.get());
      return ended.ok() ? Status::success() : Status::failure(ended.error());
    }
  }
  if (!process) return fail_status(open_error);
  return end_process(process.get());
}

Status kill_process(uint32_t pid) {
  if (pid == 0 || pid == ::GetCurrentProcessId()) return fail_status(ERROR_INVALID_PARAMETER);
  Handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  if (!process) return Status::failure(win32::record_last_error());
  return end_process(process.get());
}

uint64_t process_start_mark(uint32_t pid) {
  if (pid == 0) return 0;
  Handle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process || has_ended(process.get())) return 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
  const uint64_t mark =
      (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return mark == 0 ? 1 : mark;
}

Result<bool> kill_process_group(uint32_t group) {
  if (group == 0 || group == ::GetCurrentProcessId()) return fail<bool>(ERROR_INVALID_PARAMETER);
  Handle job = open_job(group);
  if (!job) {
    const int error = last_error();
    if (error == ERROR_FILE_NOT_FOUND) return false;
    return Result<bool>::failure(error);
  }
  return end_job(job.get());
}

int run_script(std::string_view script_path) {
  // As system("\"\"path\"\"") runs it: cmd.exe drops the outer quotes and keeps the path whole.
  const std::wstring command = L"\"\"" + win32::widen(script_path) + L"\"\"";
  const int result = ::_wsystem(command.c_str());
  if (result == -1) set_last_error(errno);
  return result;
}

Result<Process> spawn_script(std::string_view script_path, std::string_view folder) {
  // cmd.exe keeps the quotes around a lone quoted path of a program, so blanks in it are safe.
  return Process::spawn(command_interpreter(), "cmd.exe /C \"" + resolve_path(script_path) + "\"",
                        folder);
}

uint32_t current_process_id() {
  return ::GetCurrentProcessId();
}

}  // namespace qma::platform
