// The agent's named pipe as a Unix stream socket under the state folder (POSIX backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/local_pipe.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/posix/fd_wait.h"

namespace qma::platform {

namespace {

using posix::fail;
using posix::wait_for;

bool fill_address(const std::string& path, sockaddr_un& addr) {
  if (path.size() > kLocalPipePathMax || path.size() >= sizeof addr.sun_path) return false;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

int make_dirs(const std::string& folder) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    partial = folder.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

/// The id of a group by name; absent when there is no such group.
std::optional<uint32_t> group_id(const std::string& name) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  while (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  return static_cast<uint32_t>(found->gr_gid);
}

/// Supplementary groups of a user by the user database, for kernels that cannot
/// tell a socket peer's groups.
std::vector<uint32_t> groups_of_user(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return {};
  }
  int count = 64;
  std::vector<gid_t> list(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, gid, list.data(), &count) < 0) {
    list.resize(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, gid, list.data(), &count) < 0) return {};
  }
  return std::vector<uint32_t>(list.begin(), list.begin() + count);
}

}  // namespace

bool may_use_local_pipe(std::string_view name) {
  struct stat st {};
  if (::stat(local_pipe_path(name).c_str(), &st) != 0) return true;
  uid_t self = ::geteuid();
  if (self == 0 || st.st_uid == self || st.st_gid == ::getegid()) return true;
  int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  count = ::getgroups(count, groups.data());
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<size_t>(i)] == st.st_gid) return true;
  }
  return false;
}

std::string local_pipe_path(std::string_view name) {
  std::string path = state_dir();
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += "pipe/";
  path += name;
  return path;
}

bool local_pipe_listening(std::string_view name) {
  struct stat st {};
  return ::stat(local_pipe_path(name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// ---- connections ----

/// A read asks the socket for at least this much, so that a frame's header and body
/// usually arrive with one call; what the caller did not ask for yet waits in `ahead`.
constexpr size_t kReadAhead = 8192;

struct PipeConnection::Impl {
  int fd = -1;
  std::shared_ptr<std::atomic<int>> live;  // set for instances a listener accepted
  std::unique_ptr<char[]> ahead;
  size_t ahead_from = 0;
  size_t ahead_to = 0;
  std::atomic<bool> reads_cancelled{false};

  ~Impl() { finish(); }
  int finish() {
    int error = 0;
    if (fd >= 0) {
      if (::close(fd) != 0) error = errno;
      fd = -1;
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
  if (!impl_ || impl_->fd < 0) return fail<size_t>(EBADF);
  Impl& impl = *impl_;
  if (impl.reads_cancelled.load()) return fail<size_t>(kErrorBrokenPipe);
  if (impl.ahead_from < impl.ahead_to) {
    const size_t n = std::min(size, impl.ahead_to - impl.ahead_from);
    std::memcpy(data, impl.ahead.get() + impl.ahead_from, n);
    impl.ahead_from += n;
    return n;
  }
  const bool into_ahead = size > 0 && size < kReadAhead;
  if (into_ahead && !impl.ahead) impl.ahead = std::make_unique<char[]>(kReadAhead);
  for (;;) {
    ssize_t n = into_ahead ? ::recv(impl.fd, impl.ahead.get(), kReadAhead, 0)
                           : ::recv(impl.fd, data, size, 0);
    if (n > 0 && into_ahead) {
      const size_t got = std::min(size, static_cast<size_t>(n));
      std::memcpy(data, impl.ahead.get(), got);
      impl.ahead_from = got;
      impl.ahead_to = static_cast<size_t>(n);
      return got;
    }
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) return size == 0 ? Result<size_t>(0) : fail<size_t>(kErrorBrokenPipe);
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return fail<size_t>(kErrorBrokenPipe);
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail<size_t>(errno);
    int ready = wait_for(impl_->fd, POLLIN, timeout_ms);
    if (ready == 0) return fail<size_t>(kErrorPipeTimeout);
    if (ready < 0) return fail<size_t>(errno);
  }
}

Result<size_t> PipeConnection::write(const void* data, size_t size, uint32_t timeout_ms) {
  if (!impl_ || impl_->fd < 0) return fail<size_t>(EBADF);
  for (;;) {
    ssize_t n = ::send(impl_->fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET) return fail<size_t>(kErrorBrokenPipe);
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail<size_t>(errno);
    int ready = wait_for(impl_->fd, POLLOUT, timeout_ms);
    if (ready == 0) return fail<size_t>(kErrorPipeTimeout);
    if (ready < 0) return fail<size_t>(errno);
  }
}

Status PipeConnection::close_write() {
  if (!impl_ || impl_->fd < 0) {
    set_last_error(EBADF);
    return Status::failure(EBADF);
  }
  if (::shutdown(impl_->fd, SHUT_WR) != 0) {
    int error = errno;
    set_last_error(error);
    return Status::failure(error);
  }
  return Status::success();
}

Status PipeConnection::cancel_reads() {
  if (!impl_ || impl_->fd < 0) {
    set_last_error(EBADF);
    return Status::failure(EBADF);
  }
  // Shutting the reading side wakes a poll that waits on it, and reads then see the end;
  // bytes read ahead are not handed out any more either.
  impl_->reads_cancelled.store(true);
  if (::shutdown(impl_->fd, SHUT_RD) != 0) {
    int error = errno;
    set_last_error(error);
    return Status::failure(error);
  }
  return Status::success();
}

Status PipeConnection::close() {
  if (!impl_ || impl_->fd < 0) {
    set_last_error(EBADF);
    return Status::failure(EBADF);
  }
  int error = impl_->finish();
  if (error != 0) {
    set_last_error(error);
    return Status::failure(error);
  }
  return Status::success();
}

uintptr_t PipeConnection::id() const {
  return impl_ && impl_->fd >= 0 ? static_cast<uintptr_t>(impl_->fd) : 0;
}

Result<PipePeer> PipeConnection::peer() const {
  if (!impl_ || impl_->fd < 0) return fail<PipePeer>(EBADF);
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(impl_->fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return fail<PipePeer>(errno);
  }
  PipePeer peer;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  peer.pid = credentials.pid;
  // Root and this process's own user are served whatever their groups.
  static const uid_t own_uid = ::geteuid();
  if (credentials.uid == 0 || credentials.uid == own_uid) return peer;
  // The groups the client process held when it connected; older kernels cannot
  // tell, and then the user database says which groups the user belongs to.
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(impl_->fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      peer.groups.assign(groups.begin(), groups.end());
      return peer;
    }
    if (errno == ERANGE && size / sizeof(gid_t) > groups.size()) {
      groups.resize(size / sizeof(gid_t));
      continue;
    }
    break;
  }
  peer.groups = groups_of_user(credentials.uid, credentials.gid);
  return peer;
}

Result<PipeConnection> connect_local_pipe(std::string_view name, uint32_t timeout_ms) {
  sockaddr_un addr;
  if (!fill_address(local_pipe_path(name), addr)) return fail<PipeConnection>(ENAMETOOLONG);
  uint64_t start = monotonic_ms();
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail<PipeConnection>(errno);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      auto impl = std::make_unique<PipeConnection::Impl>();
      impl->fd = fd;
      return PipeConnection(std::move(impl));
    }
    int error = errno;
    ::close(fd);
    // A full backlog is the busy pipe of Windows: wait and try again.
    bool busy = error == EAGAIN || error == EINTR;
    if (!busy || (timeout_ms != kInfinite && monotonic_ms() - start >= timeout_ms)) {
      return fail<PipeConnection>(busy ? kErrorPipeBusy : error);
    }
    sleep_ms(2);
  }
}

// ---- listener ----

struct PipeListener::Impl {
  int fd = -1;
  std::string path;
  uid_t own_uid = ::geteuid();
  std::optional<uint32_t> group;  // the pipe group, when the socket carries it
  std::shared_ptr<std::atomic<int>> live = std::make_shared<std::atomic<int>>(0);
  /// The wait that the socket's receive timeout makes accept keep; kInfinite: none set.
  uint32_t accept_wait_ms = kInfinite;
  ~Impl() {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(path.c_str());
    }
  }
};

PipeListener::PipeListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeListener::PipeListener(PipeListener&&) noexcept = default;
PipeListener& PipeListener::operator=(PipeListener&&) noexcept = default;
PipeListener::~PipeListener() = default;

Result<PipeListener> PipeListener::create(std::string_view name) {
  std::string path = local_pipe_path(name);
  sockaddr_un addr;
  if (!fill_address(path, addr)) return fail<PipeListener>(ENAMETOOLONG);
  if (int error = make_dirs(path.substr(0, path.rfind('/'))); error != 0) {
    return fail<PipeListener>(error);
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail<PipeListener>(EEXIST);
    // A socket that still answers belongs to a running listener; leave it alone.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
      bool alive = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      ::close(probe);
      if (alive) return fail<PipeListener>(EADDRINUSE);
    }
    ::unlink(path.c_str());
  }
  auto impl = std::make_unique<Impl>();
  // A blocking socket: accept waits in the kernel, bounded by the receive timeout.
  impl->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl->fd < 0) return fail<PipeListener>(errno);
  // The socket is bound and listening under a temporary name first and then
  // renamed into place, so a client never finds a socket that refuses it.
  std::string folder = path.substr(0, path.rfind('/'));
  static std::atomic<unsigned> serial{0};
  std::string temporary =
      folder + "/.p" + std::to_string((::getpid() % 100000) * 100 + serial++ % 100);
  sockaddr_un temporary_addr;
  if (!fill_address(temporary, temporary_addr)) {
    temporary = path;
    temporary_addr = addr;
  }
  ::unlink(temporary.c_str());
  impl->path = temporary;
  if (::bind(impl->fd, reinterpret_cast<sockaddr*>(&temporary_addr), sizeof temporary_addr) != 0) {
    int error = errno;
    ::close(impl->fd);
    impl->fd = -1;
    return fail<PipeListener>(error);
  }
  // Access is settled before the socket listens or appears under its name. A
  // group this process may not hand the socket to (it is not root and not a
  // member) leaves the socket in the process's own group.
  if (auto group = group_id(pipe_group_name())) {
    if (::chown(temporary.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(*group)) == 0) {
      impl->group = group;
    }
  }
  if (::chmod(temporary.c_str(), 0660) != 0 || ::listen(impl->fd, 1024) != 0) {
    return fail<PipeListener>(errno);
  }
  if (temporary != path) {
    if (::rename(temporary.c_str(), path.c_str()) != 0) return fail<PipeListener>(errno);
    impl->path = path;
  }
  return PipeListener(std::move(impl));
}

Status prepare_upload_folder() {
  const std::string folder = upload_folders().front();
  if (int error = make_dirs(folder); error != 0) return Status::failure(error);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Status::failure(errno == ELOOP ? ENOTDIR : errno);
  int error = 0;
  if (auto group = group_id(pipe_group_name())) {
    if (::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(*group)) != 0) error = errno;
  }
  if (::fchmod(fd, 03770) != 0 && error == 0) error = errno;
  ::close(fd);
  return error == 0 ? Status::success() : Status::failure(error);
}

Result<PipeConnection> PipeListener::accept(uint32_t timeout_ms) {
  if (!impl_ || impl_->fd < 0) return fail<PipeConnection>(EBADF);
  if (impl_->live->load() >= kPipeInstanceLimit) return fail<PipeConnection>(kErrorPipeBusy);
  Impl& impl = *impl_;
  uint64_t start = monotonic_ms();
  for (;;) {
    uint32_t left = kInfinite;
    if (timeout_ms != kInfinite) {
      uint64_t spent = monotonic_ms() - start;
      left = spent >= timeout_ms ? 0 : static_cast<uint32_t>(timeout_ms - spent);
    }
    // No wait at all is a look; any other wait is the socket's receive timeout, which
    // accept keeps, set only when it changes (0 there means no limit).
    if (left == 0) {
      int ready = wait_for(impl.fd, POLLIN, 0);
      if (ready == 0) return fail<PipeConnection>(kErrorPipeTimeout);
      if (ready < 0) return fail<PipeConnection>(errno);
    } else if (left != impl.accept_wait_ms) {
      timeval wait{};
      if (left != kInfinite) {
        wait.tv_sec = static_cast<time_t>(left / 1000);
        wait.tv_usec = static_cast<suseconds_t>(left % 1000) * 1000;
      }
      if (::setsockopt(impl.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        return fail<PipeConnection>(errno);
      }
      impl.accept_wait_ms = left;
    }
    int fd = ::accept4(impl.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      auto connection = std::make_unique<PipeConnection::Impl>();
      connection->fd = fd;
      connection->live = impl.live;
      connection->live->fetch_add(1);
      return PipeConnection(std::move(connection));
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // The receive timeout ran out: it was set to the whole time that was left. The kernel
    // can end that wait early; then the rest is waited for.
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (timeout_ms == kInfinite || monotonic_ms() - start < timeout_ms) continue;
      return fail<PipeConnection>(kErrorPipeTimeout);
    }
    return fail<PipeConnection>(errno);
  }
}

bool PipeListener::admits(const PipePeer& peer) const {
  return impl_ && pipe_peer_allowed(peer, static_cast<uint32_t>(impl_->own_uid), impl_->group);
}

int PipeListener::live_instances() const {
  return impl_ ? impl_->live->load() : 0;
}

const std::string& PipeListener::path() const {
  return impl_->path;
}

}  // namespace qma::platform
