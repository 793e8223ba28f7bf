// Running a program to its end with its standard streams in files (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/program_run.h"

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/win32/handle.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

using win32::Handle;

/// The file as an inheritable handle; writing creates or empties it.
Handle open_stream_file(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return Handle(::CreateFileW(win32::widen(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                              share, &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

/// The caller's own standard stream, made inheritable for the child (it may not be).
Handle duplicate_own_stream(DWORD which) {
  HANDLE own = ::GetStdHandle(which);
  if (own == nullptr || own == INVALID_HANDLE_VALUE) return Handle();
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    return Handle();
  }
  return Handle(copy);
}

/// Owner of the block GetEnvironmentStringsW hands out.
class EnvironmentStrings {
 public:
  EnvironmentStrings() : block_(::GetEnvironmentStringsW()) {}
  ~EnvironmentStrings() {
    if (block_ != nullptr) ::FreeEnvironmentStringsW(block_);
  }
  EnvironmentStrings(const EnvironmentStrings&) = delete;
  EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
  const wchar_t* get() const { return block_; }

 private:
  wchar_t* block_;
};

/// The caller's environment with the changes applied, as a block for CreateProcessW: entries
/// NAME=VALUE, each ended by a zero, the whole ended by one more.
std::wstring changed_environment(const std::vector<EnvironmentChange>& changes) {
  std::vector<std::wstring> names;
  for (const EnvironmentChange& change : changes) names.push_back(win32::widen(change.name));
  std::wstring block;
  EnvironmentStrings own;
  for (const wchar_t* entry = own.get(); entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const std::wstring text = entry;
    // Entries such as "=C:=C:\" name the current folder of a drive; their name starts at 1.
    const std::wstring name = text.substr(0, text.find(L'=', 1));
    bool changed = false;
    for (const std::wstring& other : names) {
      changed = changed ||
                ::CompareStringOrdinal(name.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    if (!changed) block += text + L'\0';
  }
  // The last change of a name is the one that holds.
  for (size_t i = 0; i < changes.size(); ++i) {
    bool later = false;
    for (size_t j = i + 1; j < changes.size(); ++j) {
      later = later || ::CompareStringOrdinal(names[i].c_str(), -1, names[j].c_str(), -1, TRUE) ==
                           CSTR_EQUAL;
    }
    if (!later && changes[i].value) {
      block += win32::widen(changes[i].name + "=" + *changes[i].value) + L'\0';
    }
  }
  block += L'\0';
  return block;
}

}  // namespace

Result<uint32_t> run_program(std::string_view application_path,
                             const std::vector<std::string>& arguments,
                             std::string_view current_dir, const StandardFiles& files,
                             const std::vector<EnvironmentChange>& environment) {
  const std::string path(application_path);
  std::string command_line;
  if (arguments.empty()) command_line = quote_argument(path);
  for (const std::string& argument : arguments) {
    if (!command_line.empty()) command_line.push_back(' ');
    command_line += quote_argument(argument);
  }

  struct Stream {
    const std::string& file;
    bool write;
    DWORD own;
  } streams[] = {{files.input, false, STD_INPUT_HANDLE},
                 {files.output, true, STD_OUTPUT_HANDLE},
                 {files.error, true, STD_ERROR_HANDLE}};
  Handle handles[3];
  bool error_shares_output = false;
  for (int i = 0; i < 3; ++i) {
    if (streams[i].file.empty()) {
      handles[i] = duplicate_own_stream(streams[i].own);
      continue;
    }
    if (i == 2 && files.error == files.output) {
      error_shares_output = true;
      continue;
    }
    handles[i] = open_stream_file(streams[i].file, streams[i].write);
    if (!handles[i]) return Result<uint32_t>::failure(win32::record_last_error());
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = handles[0].get();
  startup.hStdOutput = handles[1].get();
  startup.hStdError = error_shares_output ? handles[1].get() : handles[2].get();
  std::wstring wide_command = win32::widen(command_line);
  const std::wstring wide_dir = win32::widen(current_dir);
  std::wstring block;
  if (!environment.empty()) block = changed_environment(environment);
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessW(win32::widen(path).c_str(), wide_command.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, block.empty() ? nullptr : block.data(),
                        wide_dir.empty() ? nullptr : wide_dir.c_str(), &startup, &started)) {
    return Result<uint32_t>::failure(win32::record_last_error());
  }
  Handle process(started.hProcess);
  Handle thread(started.hThread);
  for (Handle& handle : handles) handle.reset();
  if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
    return Result<uint32_t>::failure(win32::record_last_error());
  }
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) {
    return Result<uint32_t>::failure(win32::record_last_error());
  }
  return static_cast<uint32_t>(code);
}

}  // namespace qma::platform
