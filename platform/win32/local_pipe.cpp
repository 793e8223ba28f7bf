// The agent's named pipe with overlapped I/O and an explicit access list (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/local_pipe.h"

// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/win32/fail.h"
#include "platform/win32/handle.h"
#include "platform/win32/object_name.h"
#include "platform/win32/wide.h"

namespace qma::platform {

namespace {

constexpr int kErrorNotSupported = 50;
constexpr size_t kPipeNameMax = 256;
/// What a member of the pipe group may do with the pipe: read, write data, read its
/// attributes. Not FILE_APPEND_DATA (FILE_CREATE_PIPE_INSTANCE): only the agent serves.
constexpr DWORD kClientAccess = FILE_GENERIC_READ | FILE_WRITE_DATA;
constexpr DWORD kBufferSize = 64 * 1024;

using win32::fail;
using win32::fail_status;
/// The error of the call that just failed, as the pipe's contract names it.
int pipe_error(DWORD error) {
  if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA) {
    return kErrorBrokenPipe;
  }
  return static_cast<int>(error);
}

using win32::Handle;

/// Owner of memory the system hands out with LocalAlloc.
struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

std::string sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return {};
  LocalMemory owner(text);
  return win32::narrow(text);
}

/// The last sub-authority of a SID (the user's or group's relative id).
uint32_t relative_id(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return 0;
  UCHAR count = *::GetSidSubAuthorityCount(sid);
  return count == 0 ? 0 : static_cast<uint32_t>(*::GetSidSubAuthority(sid, count - 1u));
}

/// One token information class, in a buffer of the size the system asks for.
std::vector<unsigned char> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token, kind, buffer.data(), size, &size)) return {};
  return buffer;
}

/// The identity a token carries: user SID, then the enabled (not deny-only) group SIDs.
bool fill_from_token(HANDLE token, PipePeer& peer) {
  auto user = token_information(token, TokenUser);
  if (user.empty()) return false;
  PSID user_sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  peer.uid = relative_id(user_sid);
  peer.sids.push_back(sid_text(user_sid));
  auto primary = token_information(token, TokenPrimaryGroup);
  if (!primary.empty()) {
    peer.gid = relative_id(reinterpret_cast<TOKEN_PRIMARY_GROUP*>(primary.data())->PrimaryGroup);
  }
  auto groups = token_information(token, TokenGroups);
  if (!groups.empty()) {
    auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
      const auto& group = list->Groups[i];
      if ((group.Attributes & SE_GROUP_ENABLED) == 0 ||
          (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0) {
        continue;
      }
      peer.sids.push_back(sid_text(group.Sid));
      peer.groups.push_back(relative_id(group.Sid));
    }
  }
  return true;
}

/// The SID of this process's user, as text.
std::string own_user_sid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  Handle token(raw);
  auto user = token_information(token.get(), TokenUser);
  if (user.empty()) return {};
  return sid_text(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

/// The SID of a local group by name, as text; absent when no such group exists.
std::optional<std::string> group_sid(const std::string& name) {
  std::wstring wide = win32::widen(name);
  DWORD sid_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use;
  ::LookupAccountNameW(nullptr, wide.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0) return std::nullopt;
  std::vector<unsigned char> sid(sid_size);
  std::wstring domain(domain_size + 1, L'\0');
  if (!::LookupAccountNameW(nullptr, wide.c_str(), sid.data(), &sid_size, domain.data(),
                            &domain_size, &use)) {
    return std::nullopt;
  }
  if (use != SidTypeAlias && use != SidTypeGroup && use != SidTypeWellKnownGroup) {
    return std::nullopt;
  }
  std::string text = sid_text(sid.data());
  if (text.empty()) return std::nullopt;
  return text;
}

/// The pipe's descriptor: full access for SYSTEM, Administrators and this process's user;
/// read and write for the pipe group. No other entry, so nobody else opens the pipe.
LocalMemory pipe_descriptor(const std::string& own_sid, const std::optional<std::string>& group) {
  std::string sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
  if (!own_sid.empty()) sddl += "(A;;GA;;;" + own_sid + ")";
  if (group) {
    char access[16];
    std::snprintf(access, sizeof access, "0x%lx", static_cast<unsigned long>(kClientAccess));
    sddl += std::string("(A;;") + access + ";;;" + *group + ")";
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          win32::widen(sddl).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  return LocalMemory(descriptor);
}

/// Creates the folders of a path that are missing; 0 or an error number.
int make_folders(const std::string& folder) {
  for (size_t pos = 0; pos != std::string::npos;) {
    pos = folder.find_first_of("\\/", pos + 1);
    std::string part = folder.substr(0, pos);
    if (part.empty() || part.back() == ':') continue;
    if (!::CreateDirectoryW(win32::widen(part).c_str(), nullptr)) {
      DWORD error = ::GetLastError();
      if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
        return static_cast<int>(error);
      }
    }
  }
  return 0;
}

/// Waits for an overlapped operation on `handle`; when `cancel` is signalled first or the
/// time runs out, the operation is cancelled. The outcome: the bytes moved, or an error.
Result<size_t> finish_overlapped(HANDLE handle, OVERLAPPED& overlapped, HANDLE cancel,
                                 uint32_t timeout_ms) {
  HANDLE events[2] = {overlapped.hEvent, cancel};
  DWORD count = cancel != nullptr ? 2 : 1;
  DWORD waited = ::WaitForMultipleObjects(count, events, FALSE,
                                          timeout_ms == kInfinite ? INFINITE : timeout_ms);
  int ended_by = 0;
  if (waited == WAIT_OBJECT_0 + 1) {
    ended_by = kErrorBrokenPipe;
  } else if (waited == WAIT_TIMEOUT) {
    ended_by = kErrorPipeTimeout;
  } else if (waited != WAIT_OBJECT_0) {
    ended_by = static_cast<int>(::GetLastError());
  }
  if (ended_by != 0) ::CancelIoEx(handle, &overlapped);
  DWORD moved = 0;
  if (::GetOverlappedResult(handle, &overlapped, &moved, TRUE)) {
    // Completed before the cancel took effect: the bytes are there.
    if (moved > 0 || ended_by == 0) return static_cast<size_t>(moved);
  } else if (ended_by == 0) {
    return fail<size_t>(pipe_error(::GetLastError()));
  }
  return fail<size_t>(ended_by);
}

}  // namespace

bool may_use_local_pipe(std::string_view) {
  // The pipe's access list decides when the client opens it.
  return true;
}

std::string local_pipe_path(std::string_view name) {
  return "\\\\.\\pipe\\" + win32::state_tagged(name);
}

bool local_pipe_listening(std::string_view name) {
  if (name.size() > kPipeNameMax) return false;
  // A wait, unlike a look at the name's attributes, takes no instance from the listener.
  const std::wstring path = win32::widen(local_pipe_path(name));
  if (::WaitNamedPipeW(path.c_str(), 1)) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_BAD_PATHNAME;
}

// ---- connections ----

struct PipeConnection::Impl {
  Handle pipe;
  bool server = false;
  Handle read_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  Handle write_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  Handle cancel_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::shared_ptr<std::atomic<int>> live;  // set for instances a listener accepted

  ~Impl() { finish(); }
  int finish() {
    int error = 0;
    if (pipe) {
      if (server) {
        ::FlushFileBuffers(pipe.get());
        ::DisconnectNamedPipe(pipe.get());
      }
      if (!::CloseHandle(pipe.release())) error = static_cast<int>(::GetLastError());
      if (live) live->fetch_sub(1);
      live.reset();
    }
    return error;
  }
};

PipeConnection::PipeConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeConnection::PipeConnection(PipeConnection&&) noexcept = default;
PipeConnection& PipeConnection::operator=(PipeConnection&&) noexcept = default;
PipeConnection::~PipeConnection() = default;

Result<size_t> PipeConnection::read(void* data, size_t size, uint32_t timeout_ms) {
  if (!impl_ || !impl_->pipe) return fail<size_t>(ERROR_INVALID_HANDLE);
  HANDLE cancel = impl_->cancel_event.get();
  if (::WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) return fail<size_t>(kErrorBrokenPipe);
  if (size == 0) return static_cast<size_t>(0);
  OVERLAPPED overlapped{};
  overlapped.hEvent = impl_->read_event.get();
  ::ResetEvent(overlapped.hEvent);
  DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  DWORD got = 0;
  if (::ReadFile(impl_->pipe.get(), data, chunk, &got, &overlapped)) {
    if (got == 0) return fail<size_t>(kErrorBrokenPipe);
    return static_cast<size_t>(got);
  }
  DWORD error = ::GetLastError();
  if (error != ERROR_IO_PENDING) return fail<size_t>(pipe_error(error));
  auto result = finish_overlapped(impl_->pipe.get(), overlapped, cancel, timeout_ms);
  if (result.ok() && *result == 0) return fail<size_t>(kErrorBrokenPipe);
  return result;
}

Result<size_t> PipeConnection::write(const void* data, size_t size, uint32_t timeout_ms) {
  if (!impl_ || !impl_->pipe) return fail<size_t>(ERROR_INVALID_HANDLE);
  if (size == 0) return static_cast<size_t>(0);
  OVERLAPPED overlapped{};
  overlapped.hEvent = impl_->write_event.get();
  ::ResetEvent(overlapped.hEvent);
  DWORD chunk = size > kBufferSize ? kBufferSize : static_cast<DWORD>(size);
  DWORD put = 0;
  if (::WriteFile(impl_->pipe.get(), data, chunk, &put, &overlapped)) {
    return static_cast<size_t>(put);
  }
  DWORD error = ::GetLastError();
  if (error != ERROR_IO_PENDING) return fail<size_t>(pipe_error(error));
  return finish_overlapped(impl_->pipe.get(), overlapped, nullptr, timeout_ms);
}

Status PipeConnection::close_write() {
  if (!impl_ || !impl_->pipe) return fail_status(ERROR_INVALID_HANDLE);
  return fail_status(kErrorNotSupported);
}

Status PipeConnection::cancel_reads() {
  if (!impl_ || !impl_->pipe) return fail_status(ERROR_INVALID_HANDLE);
  // A waiting read sees the event and cancels its own operation; later reads see it at once.
  if (!::SetEvent(impl_->cancel_event.get())) return fail_status(win32::record_last_error());
  return Status::success();
}

Status PipeConnection::close() {
  if (!impl_ || !impl_->pipe) return fail_status(ERROR_INVALID_HANDLE);
  int error = impl_->finish();
  if (error != 0) return fail_status(error);
  return Status::success();
}

uintptr_t PipeConnection::id() const {
  return impl_ && impl_->pipe ? reinterpret_cast<uintptr_t>(impl_->pipe.get()) : 0;
}

Result<PipePeer> PipeConnection::peer() const {
  if (!impl_ || !impl_->pipe) return fail<PipePeer>(ERROR_INVALID_HANDLE);
  PipePeer peer;
  ULONG pid = 0;
  BOOL known = impl_->server ? ::GetNamedPipeClientProcessId(impl_->pipe.get(), &pid)
                             : ::GetNamedPipeServerProcessId(impl_->pipe.get(), &pid);
  if (!known) return fail<PipePeer>(win32::record_last_error());
  peer.pid = static_cast<int32_t>(pid);
  if (!impl_->server) return peer;
  // The client's identity: its token through impersonation, or, when the system does not
  // allow that yet (nothing read so far), the token of the client's process.
  bool filled = false;
  if (::ImpersonateNamedPipeClient(impl_->pipe.get())) {
    HANDLE raw = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) {
      Handle token(raw);
      filled = fill_from_token(token.get(), peer);
    }
    if (!::RevertToSelf()) {
      // A thread that cannot return to its own identity must not go on.
      std::abort();
    }
  }
  if (!filled) {
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE raw = nullptr;
    if (!process || !::OpenProcessToken(process.get(), TOKEN_QUERY, &raw)) {
      return fail<PipePeer>(win32::record_last_error());
    }
    Handle token(raw);
    if (!fill_from_token(token.get(), peer)) return fail<PipePeer>(win32::record_last_error());
  }
  return peer;
}

Result<PipeConnection> connect_local_pipe(std::string_view name, uint32_t timeout_ms) {
  if (name.size() > kPipeNameMax) return fail<PipeConnection>(ENAMETOOLONG);
  std::wstring path = win32::widen(local_pipe_path(name));
  uint64_t start = monotonic_ms();
  for (;;) {
    // Identification only: the agent may look at the client's identity, never act as it.
    HANDLE raw = ::CreateFileW(
        path.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (raw != INVALID_HANDLE_VALUE) {
      auto impl = std::make_unique<PipeConnection::Impl>();
      impl->pipe = Handle(raw);
      return PipeConnection(std::move(impl));
    }
    DWORD error = ::GetLastError();
    if (error != ERROR_PIPE_BUSY) return fail<PipeConnection>(static_cast<int>(error));
    uint32_t left = NMPWAIT_WAIT_FOREVER;
    if (timeout_ms != kInfinite) {
      uint64_t spent = monotonic_ms() - start;
      if (spent >= timeout_ms) return fail<PipeConnection>(kErrorPipeBusy);
      left = static_cast<uint32_t>(timeout_ms - spent);
    }
    // Every instance is taken: wait for one to come free, then try again.
    if (!::WaitNamedPipeW(path.c_str(), left)) sleep_ms(2);
  }
}

// ---- listener ----

struct PipeListener::Impl {
  std::string path;
  std::string own_sid = own_user_sid();
  std::optional<std::string> group;
  LocalMemory descriptor;
  bool first = true;
  // The instance that waits for the next client, with its connect operation.
  Handle pending;
  Handle connect_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  OVERLAPPED connect{};
  bool connecting = false;
  std::shared_ptr<std::atomic<int>> live = std::make_shared<std::atomic<int>>(0);

  ~Impl() { drop_pending(); }

  void drop_pending() {
    if (connecting) {
      ::CancelIoEx(pending.get(), &connect);
      DWORD ignored = 0;
      ::GetOverlappedResult(pending.get(), &connect, &ignored, TRUE);
      connecting = false;
    }
    pending.reset();
  }

  /// A new instance of the pipe; the first one claims the name.
  int make_instance() {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE raw = ::CreateNamedPipeW(
        win32::widen(path).c_str(), open_mode,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, &attributes);
    if (raw == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
    first = false;
    pending = Handle(raw);
    return 0;
  }
};

PipeListener::PipeListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeListener::PipeListener(PipeListener&&) noexcept = default;
PipeListener& PipeListener::operator=(PipeListener&&) noexcept = default;
PipeListener::~PipeListener() = default;

Result<PipeListener> PipeListener::create(std::string_view name) {
  if (name.size() > kPipeNameMax) return fail<PipeListener>(ENAMETOOLONG);
  auto impl = std::make_unique<Impl>();
  impl->path = local_pipe_path(name);
  impl->group = group_sid(pipe_group_name());
  impl->descriptor = pipe_descriptor(impl->own_sid, impl->group);
  if (!impl->descriptor) return fail<PipeListener>(win32::record_last_error());
  // The first instance exists from now on, so a client never finds no pipe; another
  // listener holding the name makes this fail.
  if (int error = impl->make_instance(); error != 0) return fail<PipeListener>(error);
  return PipeListener(std::move(impl));
}

Status prepare_upload_folder() {
  const std::string folder = upload_folders().front();
  if (int error = make_folders(folder); error != 0) return fail_status(error);
  std::wstring wide = win32::widen(folder);
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail_status(win32::record_last_error());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return fail_status(ENOTDIR);
  }
  // SYSTEM, Administrators and the agent's user hold everything; the pipe group may list,
  // add files and folders, but not delete another's entry; each entry's creator owns it.
  std::string sddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  if (std::string own = own_user_sid(); !own.empty()) sddl += "(A;OICI;FA;;;" + own + ")";
  if (auto group = group_sid(pipe_group_name())) sddl += "(A;;0x1200af;;;" + *group + ")";
  sddl += "(A;OICIIO;FA;;;CO)";
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::widen(sddl).c_str(),
                                                              SDDL_REVISION_1, &raw, nullptr)) {
    return fail_status(win32::record_last_error());
  }
  LocalMemory descriptor(raw);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted)) {
    return fail_status(win32::record_last_error());
  }
  DWORD error = ::SetNamedSecurityInfoW(
      wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  if (error != ERROR_SUCCESS) return fail_status(static_cast<int>(error));
  return Status::success();
}

Result<PipeConnection> PipeListener::accept(uint32_t timeout_ms) {
  if (!impl_) return fail<PipeConnection>(ERROR_INVALID_HANDLE);
  // The system would make instances without end: the limit is counted here.
  if (impl_->live->load() >= kPipeInstanceLimit) return fail<PipeConnection>(kErrorPipeBusy);
  if (!impl_->pending) {
    if (int error = impl_->make_instance(); error != 0) return fail<PipeConnection>(error);
  }
  bool connected = false;
  if (!impl_->connecting) {
    impl_->connect = OVERLAPPED{};
    impl_->connect.hEvent = impl_->connect_event.get();
    ::ResetEvent(impl_->connect.hEvent);
    if (::ConnectNamedPipe(impl_->pending.get(), &impl_->connect)) {
      connected = true;
    } else {
      DWORD error = ::GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        impl_->connecting = true;
      } else {
        // A client that came and went before the connect: this instance is spent.
        impl_->pending.reset();
        return fail<PipeConnection>(error == ERROR_NO_DATA ? kErrorPipeTimeout
                                                           : static_cast<int>(error));
      }
    }
  }
  if (!connected) {
    // A wait that times out leaves the connect running for the next call.
    DWORD waited = ::WaitForSingleObject(impl_->connect.hEvent,
                                         timeout_ms == kInfinite ? INFINITE : timeout_ms);
    if (waited == WAIT_TIMEOUT) return fail<PipeConnection>(kErrorPipeTimeout);
    if (waited != WAIT_OBJECT_0) return fail<PipeConnection>(win32::record_last_error());
    impl_->connecting = false;
    DWORD ignored = 0;
    if (!::GetOverlappedResult(impl_->pending.get(), &impl_->connect, &ignored, FALSE)) {
      int error = static_cast<int>(::GetLastError());
      impl_->pending.reset();
      return fail<PipeConnection>(error);
    }
  }
  auto connection = std::make_unique<PipeConnection::Impl>();
  connection->pipe = std::move(impl_->pending);
  connection->server = true;
  connection->live = impl_->live;
  // The next instance waits at once, so a client arriving meanwhile finds the pipe busy
  // (and waits) rather than missing; none while the limit is reached.
  if (connection->live->fetch_add(1) + 1 < kPipeInstanceLimit) (void)impl_->make_instance();
  return PipeConnection(std::move(connection));
}

bool PipeListener::admits(const PipePeer& peer) const {
  return impl_ && pipe_peer_sids_allowed(peer.sids, impl_->own_sid, impl_->group);
}

int PipeListener::live_instances() const {
  return impl_ ? impl_->live->load() : 0;
}

const std::string& PipeListener::path() const {
  return impl_->path;
}

}  // namespace qma::platform
