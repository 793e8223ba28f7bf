// The agent's named pipe: a local stream endpoint that clients of this host connect to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qma::platform {

/// Windows error numbers that pipe calls report besides errno values.
inline constexpr int kErrorBrokenPipe = 109;
inline constexpr int kErrorPipeTimeout = 121;
/// Live connections one listener may hold; one more makes instance creation fail
/// with kErrorPipeBusy (231).
inline constexpr int kPipeInstanceLimit = 255;
/// The longest socket path the system accepts. On Linux: a longer path is
/// refused with ENAMETOOLONG before anything is created.
inline constexpr size_t kLocalPipePathMax = 107;

/// Where the pipe of that name lives: $QMA_STATE_DIR/pipe/<name>.
/// On Windows: \\.\pipe\<name>, with "." and a tag of $QMA_STATE_DIR appended when it is set.
std::string local_pipe_path(std::string_view name);
/// Whether a listener serves the pipe of that name, without connecting to it. On Linux: the
/// socket file exists; on Windows: the system knows the pipe name (a pipe is no file there).
bool local_pipe_listening(std::string_view name);

/// The client at the other end of a connection, as the system recorded it when
/// the client connected.
struct PipePeer {
  uint32_t uid = 0;
  uint32_t gid = 0;
  int32_t pid = 0;
  /// Supplementary groups. On Linux: left empty for root and this process's own user,
  /// whom their user id alone admits.
  std::vector<uint32_t> groups;
  /// On Windows: the user's SID first, then its enabled group SIDs ("S-1-5-32-544"); uid and
  /// gid hold the last parts of the user and primary group SIDs.
  std::vector<std::string> sids;
};

/// The group whose members may talk to the agent: $QMA_PIPE_GROUP when it is
/// set and not empty, else "qmagent".
std::string pipe_group_name();
/// Who is served on the pipe: root, the agent's own user (`own_uid`) and members
/// of the pipe group (`group`, absent when no such group exists), by primary or
/// supplementary group.
bool pipe_peer_allowed(const PipePeer& peer, uint32_t own_uid, std::optional<uint32_t> group);
/// On Windows: who is served by SIDs: SYSTEM, Administrators, the agent's own user
/// (`own_sid`) and members of the pipe group (`group_sid`, absent when no such group exists).
inline bool pipe_peer_sids_allowed(const std::vector<std::string>& peer_sids,
                                   std::string_view own_sid,
                                   const std::optional<std::string>& group_sid) {
  for (const auto& sid : peer_sids) {
    if (sid == "S-1-5-18" || sid == "S-1-5-32-544" || (!own_sid.empty() && sid == own_sid) ||
        (group_sid && sid == *group_sid)) {
      return true;
    }
  }
  return false;
}
/// False when this process is neither root, the owner of the pipe of that name
/// nor a member of its group, so the agent will refuse it; true when the pipe
/// cannot be looked at (the connection then tells).
bool may_use_local_pipe(std::string_view name);

/// One end of a connected pipe instance. Closes when destroyed.
class PipeConnection {
 public:
  PipeConnection(PipeConnection&&) noexcept;
  PipeConnection& operator=(PipeConnection&&) noexcept;
  ~PipeConnection();

  /// Reads up to size bytes, waiting at most timeout_ms (kInfinite of
  /// named_mutex.h: no limit). Fails with kErrorBrokenPipe when the other end
  /// has closed and with kErrorPipeTimeout when nothing came in time. On Linux: a
  /// short read takes what the socket holds (up to 8 KiB) in one call and hands out
  /// the rest to the next reads.
  [[nodiscard]] Result<size_t> read(void* data, size_t size, uint32_t timeout_ms);
  /// Writes some of the bytes, waiting at most timeout_ms for room; the count written.
  [[nodiscard]] Result<size_t> write(const void* data, size_t size, uint32_t timeout_ms);
  /// Tells the other end that nothing more will be written (it reads the end);
  /// reading stays possible. On Windows: a pipe has no half-close; fails with 50.
  [[nodiscard]] Status close_write();
  /// Makes a read that waits, and every later read, end at once with
  /// kErrorBrokenPipe, as if the client had closed. May be called from another
  /// thread while a read waits.
  [[nodiscard]] Status cancel_reads();
  /// Ends the connection; the instance no longer counts against the limit.
  [[nodiscard]] Status close();
  /// A number that names this instance in log lines.
  uintptr_t id() const;
  /// The client's credentials (user, group, process, supplementary groups).
  [[nodiscard]] Result<PipePeer> peer() const;

 private:
  struct Impl;
  explicit PipeConnection(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  friend class PipeListener;
  friend Result<PipeConnection> connect_local_pipe(std::string_view, uint32_t);
};

/// Makes the agent's upload folder (upload_folders()'s first, state_dir() + "/upload")
/// a place where the pipe group's members can drop uploads: a real folder (an entry
/// of another kind is refused with ENOTDIR), group pipe_group_name() when that
/// group exists, mode 3770 (new entries keep the group; nobody removes or renames
/// another user's entry). An existing folder is given that group and mode.
[[nodiscard]] Status prepare_upload_folder();

/// The server side of a pipe name: accepts one client per instance.
/// On Linux: a Unix stream socket at local_pipe_path(name), mode 0660, group
/// pipe_group_name() when that group exists (the agent's own group otherwise),
/// so only root, the agent's user and that group's members can connect; a stale
/// socket file of an earlier run is replaced.
class PipeListener {
 public:
  PipeListener(PipeListener&&) noexcept;
  PipeListener& operator=(PipeListener&&) noexcept;
  ~PipeListener();

  /// Creates the endpoint (and its folder). Fails with ENAMETOOLONG when the
  /// path is longer than kLocalPipePathMax.
  [[nodiscard]] static Result<PipeListener> create(std::string_view name);
  /// Creates one instance and waits at most timeout_ms for a client to connect
  /// to it. Fails with kErrorPipeBusy when kPipeInstanceLimit instances are live,
  /// with kErrorPipeTimeout when no client came.
  [[nodiscard]] Result<PipeConnection> accept(uint32_t timeout_ms);
  /// Instances accepted and not yet closed.
  int live_instances() const;
  /// True when the client may be served (pipe_peer_allowed with this process's
  /// user and the pipe group found at creation).
  bool admits(const PipePeer& peer) const;
  const std::string& path() const;

 private:
  struct Impl;
  explicit PipeListener(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

/// Connects to the pipe of that name as a client, waiting at most timeout_ms.
[[nodiscard]] Result<PipeConnection> connect_local_pipe(std::string_view name, uint32_t timeout_ms);

}  // namespace qma::platform
