// The pipe: creating instances, reading request frames, writing response frames, disconnecting.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <set>

#include "commands/qma_version_info.h"
#include "common/log/qma_log.h"
#include "manager_if/decimal.h"
#include "manager_if/frame_codec.h"
#include "manager_if/pipe_control.h"
#include "manager_if/qma_manager_if.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/local_pipe.h"

namespace qma::manager_if {

namespace {

constexpr const char* kSrc = "QMAProc";
// Pause before a new instance after a failed wait for a client.
constexpr uint32_t kConnectRetryPauseMs = 100;
// Pause between looks at the instance count while all instances are in use.
constexpr uint32_t kInstanceWaitPauseMs = 20;

std::mutex g_listener_mutex;
std::optional<qma::platform::PipeListener> g_listener;
std::atomic<bool> g_stop{false};
std::atomic<uint32_t> g_frame_deadline_ms{kFrameReadDeadlineMs};

std::mutex g_reading_mutex;
std::set<qma::platform::PipeConnection*> g_reading;

// Bytes held in received frames across all connections.
std::atomic<uint64_t> g_buffered_bytes{0};

// Takes `bytes` from the budget of all connections; false, taking nothing, when they would
// pass it.
bool reserve_frame_bytes(uint64_t bytes) {
  uint64_t held = g_buffered_bytes.load();
  do {
    if (bytes > kFrameBufferBudget - held) return false;
  } while (!g_buffered_bytes.compare_exchange_weak(held, held + bytes));
  return true;
}

void cancel_reading() {
  std::lock_guard<std::mutex> lock(g_reading_mutex);
  for (auto* pipe : g_reading) (void)pipe->cancel_reads();
}

}  // namespace

uint64_t buffered_frame_bytes() {
  return g_buffered_bytes.load();
}

void free_received_frame(MPITbl* table) {
  if (table->RecvData != nullptr) {
    std::free(table->RecvData);
    // The reservation made when the frame was allocated: its whole buffer.
    g_buffered_bytes.fetch_sub(static_cast<uint64_t>(table->RecvLength) + 1);
  }
  table->RecvData = nullptr;
  table->RecvLength = 0;
  table->ReqXml = nullptr;
}

void request_listener_stop() {
  g_stop = true;
  cancel_reading();
}

uint32_t frame_read_deadline_ms() {
  return g_frame_deadline_ms.load();
}

void set_frame_read_deadline_ms(uint32_t ms) {
  g_frame_deadline_ms = ms;
}

bool listener_stop_requested() {
  return g_stop.load();
}

void close_listener() {
  std::lock_guard<std::mutex> lock(g_listener_mutex);
  g_listener.reset();
}

void clear_listener_stop() {
  g_stop = false;
}

void register_reading(qma::platform::PipeConnection* pipe) {
  std::lock_guard<std::mutex> lock(g_reading_mutex);
  g_reading.insert(pipe);
  // A stop that came before the registration still ends this read at once.
  if (g_stop.load()) (void)pipe->cancel_reads();
}

void unregister_reading(qma::platform::PipeConnection* pipe) {
  std::lock_guard<std::mutex> lock(g_reading_mutex);
  g_reading.erase(pipe);
}

MPITbl* allocate_tables() {
  auto* table = new (std::nothrow) MPITbl{};
  if (table == nullptr) return nullptr;
  table->CmdTbl = static_cast<CMDTbl*>(std::calloc(1, sizeof(CMDTbl)));
  return table;
}

void free_module_list(CMDTbl* cmd) {
  if (cmd == nullptr || cmd->ResInfo.ModuleList == nullptr) return;
  for (int32_t i = 0; i < cmd->ResInfo.ModuleCount; ++i) {
    VersionExtInfo* ext = cmd->ResInfo.ModuleList[i].ExtInfo;
    if (ext != nullptr) {
      std::free(ext->Options);
      std::free(ext);
    }
  }
  std::free(cmd->ResInfo.ModuleList);
  cmd->ResInfo.ModuleList = nullptr;
  cmd->ResInfo.ModuleCount = 0;
}

void free_tables(MPITbl* table) {
  if (table == nullptr) return;
  free_received_frame(table);
  std::free(table->SendData);
  std::free(table->ResText);
  if (table->CmdTbl != nullptr) {
    free_module_list(table->CmdTbl);
    std::free(table->CmdTbl);
  }
  delete table->hPipe;
  delete table;
}

}  // namespace qma::manager_if

using qma::manager_if::kSrc;
using qma::platform::PipeConnection;

namespace {

// At the instance limit no new instance can be made. Idle clients can hold every
// instance for as long as a frame may take, so the listener says so once and waits
// for an instance to end instead of giving up (clients meanwhile queue in the
// socket's backlog). False when a stop came while waiting.
// Set once the limit was logged; cleared when the listener is idle again (no client
// waiting), so one siege gives one line.
bool g_limit_logged = false;

bool wait_below_instance_limit() {
  using qma::manager_if::g_listener;
  while (g_listener->live_instances() >= qma::platform::kPipeInstanceLimit) {
    if (!g_limit_logged) {
      QMA_LogError("QMA_pipeListen", kSrc, __LINE__,
                   "CreateNamedPipe() error! GetLastError=[%d] (all %d pipe instances are in "
                   "use; waiting for one to end)",
                   qma::platform::kErrorPipeBusy, qma::platform::kPipeInstanceLimit);
      g_limit_logged = true;
    }
    if (qma::manager_if::listener_stop_requested()) return false;
    qma::platform::sleep_ms(qma::manager_if::kInstanceWaitPauseMs);
  }
  return true;
}

}  // namespace

int QMA_pipeListen(PipeConnection** pipe) {
  using qma::manager_if::g_listener;
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_pipeListen() start.");
  if (pipe == nullptr) return 0;
  std::lock_guard<std::mutex> lock(qma::manager_if::g_listener_mutex);
  for (;;) {
    // The instance: the endpoint (made once), and room for one more live connection.
    if (!g_listener) {
      auto created = qma::platform::PipeListener::create(QMA_PIPE_NAME);
      if (!created.ok()) {
        if (created.error() == ENAMETOOLONG) {
          QMA_LogError(__func__, kSrc, __LINE__,
                       "Pipe path is longer than %d bytes: %s (choose a shorter QMA_STATE_DIR)",
                       static_cast<int>(qma::platform::kLocalPipePathMax),
                       qma::platform::local_pipe_path(QMA_PIPE_NAME).c_str());
        }
        QMA_LogError(__func__, kSrc, __LINE__, "CreateNamedPipe() error! GetLastError=[%d]",
                     created.error());
        return 0;
      }
      g_listener = std::move(created.value());
      // Members of the pipe's group drop their uploads here (qmactl register).
      if (auto prepared = qma::platform::prepare_upload_folder(); !prepared.ok()) {
        QMA_LogError(__func__, kSrc, __LINE__, "Upload folder not prepared. errno=[%d] Path=[%s]",
                     prepared.error(), qma::platform::upload_folders().front().c_str());
      }
    }
    // Wait for a client in short slices, so a stop request is seen promptly.
    for (;;) {
      if (qma::manager_if::listener_stop_requested()) return 0;
      if (!wait_below_instance_limit()) return 0;
      auto accepted = g_listener->accept(200);
      if (accepted.ok()) {
        // Only root, the agent's own user and the pipe group's members are served;
        // anyone else is closed without an answer.
        auto peer = accepted->peer();
        if (!peer.ok() || !g_listener->admits(*peer)) {
          QMA_LogWarning(__func__, kSrc, __LINE__,
                         "Pipe client refused! uid=[%lld] pid=[%lld]: only root and members of "
                         "group %s may talk to the agent",
                         peer.ok() ? static_cast<long long>(peer->uid) : -1LL,
                         peer.ok() ? static_cast<long long>(peer->pid) : -1LL,
                         qma::platform::pipe_group_name().c_str());
          continue;
        }
        *pipe = new (std::nothrow) PipeConnection(std::move(accepted.value()));
        if (*pipe == nullptr) return 0;
        QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_pipeListen() end.");
        return 1;
      }
      if (accepted.error() == qma::platform::kErrorPipeTimeout) {
        g_limit_logged = false;
        continue;
      }
      if (accepted.error() == qma::platform::kErrorPipeBusy) continue;
      QMA_LogError(__func__, kSrc, __LINE__, "ConnectNamedPipe() error! GetLastError=[%d]",
                   accepted.error());
      // A new instance, as after a failed connect wait. A failure that persists (no
      // descriptors left) would otherwise turn the retries into a busy loop.
      qma::platform::sleep_ms(qma::manager_if::kConnectRetryPauseMs);
      break;
    }
  }
}

namespace {

// Reads exactly size bytes before the frame's deadline (a monotonic time in ms);
// false after logging (the header or data wording).
bool read_exactly(PipeConnection* pipe, char* into, uint32_t size, const char* overrun_message,
                  uint64_t deadline) {
  uint32_t got = 0;
  while (got < size) {
    uint64_t now = qma::platform::monotonic_ms();
    uint32_t left = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
    auto n = left > 0 ? pipe->read(into + got, size - got, left)
                      : qma::platform::Result<size_t>::failure(qma::platform::kErrorPipeTimeout);
    if (!n.ok()) {
      QMA_LogError("QMA_dataRecvFromMox", kSrc, __LINE__,
                   "ReadFile() error! GetLastError=[%d] param3=[%d] param4=[%d]", n.error(),
                   static_cast<int>(size - got), static_cast<int>(got));
      return false;
    }
    if (*n > size - got) {
      QMA_LogError("QMA_dataRecvFromMox", kSrc, __LINE__,
                   "%s GetLastError=[%d] param3=[%d] param4=[%d]", overrun_message,
                   qma::platform::last_error(), static_cast<int>(size - got), static_cast<int>(*n));
      return false;
    }
    got += static_cast<uint32_t>(*n);
  }
  return true;
}

}  // namespace

int QMA_dataRecvFromMox(PipeConnection* pipe, MPITbl* table) {
  using namespace qma::manager_if;
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_dataRecvFromMox() start.");
  if (pipe == nullptr || table == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! hPipe=[%lld] pstMPITbl=[%lld]",
                 qma::manager_if::pointer_number(pipe), qma::manager_if::pointer_number(table));
    return 0;
  }
  // One deadline for the whole frame, however the client spreads its bytes.
  const uint64_t deadline = qma::platform::monotonic_ms() + frame_read_deadline_ms();
  char header[kFrameHeaderSize];
  if (!read_exactly(pipe, header, kFrameHeaderSize, "Header error!(read)", deadline)) return 0;
  uint32_t body_length = read_le32(header + 8);
  if (FrameError error = check_body_length(body_length); error != FrameError::kNone) {
    QMA_LogError(__func__, kSrc, __LINE__, "Frame error! (%s) param1=[%u]", frame_error_text(error),
                 body_length);
    return 0;
  }
  uint32_t total = kFrameHeaderSize + body_length;
  const uint64_t buffer_size = static_cast<uint64_t>(total) + 1;
  if (!reserve_frame_bytes(buffer_size)) {
    QMA_LogError(__func__, kSrc, __LINE__, "Frame error! (%s) param1=[%u]",
                 frame_error_text(FrameError::kBudgetExhausted), body_length);
    return 0;
  }
  char* frame = static_cast<char*>(std::calloc(1, buffer_size));
  if (frame == nullptr) {
    g_buffered_bytes.fetch_sub(buffer_size);
    QMA_LogError(__func__, kSrc, __LINE__, "malloc() error! GetLastError=[%d] param1=[%d]", errno,
                 static_cast<int>(total));
    return 0;
  }
  table->RecvData = frame;
  table->RecvLength = total;
  RequestBody body;
  FrameError error = FrameError::kNone;
  bool read_ok = read_exactly(pipe, frame + kFrameHeaderSize, body_length,
                              "Data receive error!(read)", deadline);
  if (read_ok) error = decode_request_body(frame + kFrameHeaderSize, body_length, &body);
  if (!read_ok || error != FrameError::kNone) {
    if (read_ok) {
      QMA_LogError(__func__, kSrc, __LINE__, "Frame error! (%s) param1=[%u]",
                   frame_error_text(error), body_length);
    }
    free_received_frame(table);
    return 0;
  }
  table->ReqXmlLength = static_cast<uint32_t>(body.text.size());
  table->ReqXml = body.text.data();
  std::memset(table->ReqFileName, 0, sizeof table->ReqFileName);
  std::memcpy(table->ReqFileName, body.file_name.data(), body.file_name.size());
  table->ReqFileNameLen = static_cast<uint32_t>(body.file_name.size());
  std::memset(table->ReqDirectory, 0, sizeof table->ReqDirectory);
  std::memcpy(table->ReqDirectory, body.directory.data(), body.directory.size());
  table->ReqDirectoryLen = static_cast<uint32_t>(body.directory.size());
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_dataRecvFromMox() end.");
  return 1;
}

int QMA_dataSendToMox(MPITbl* table) {
  using namespace qma::manager_if;
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_dataSendToMox() start.");
  if (table == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error! pstMPITbl=[%lld]",
                 qma::manager_if::pointer_number(table));
    return 0;
  }
  uint32_t text_length = table->ResText != nullptr ? table->ResTextLength : 0;
  uint32_t size = kFrameHeaderSize + kFrameFixedBody + text_length;
  char* frame = static_cast<char*>(std::calloc(1, size));
  if (frame == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "malloc() error! GetLastError=[%d] param1=[%d]", errno,
                 static_cast<int>(size));
    return 0;
  }
  std::free(table->SendData);
  table->SendData = frame;
  table->SendLength = size;
  write_le32(frame, kResponseWord1);
  write_le32(frame + 4, kResponseWord2);
  write_le32(frame + 8, size - kFrameHeaderSize);
  char* body = frame + kFrameHeaderSize;
  if (table->ResFileName[0] != '\0') std::memcpy(body, table->ResFileName, kFrameNameSize);
  write_le32(body + 2 * kFrameNameSize, text_length);
  if (text_length > 0) std::memcpy(body + kFrameFixedBody, table->ResText, text_length);

  auto drop_frame = [table] {
    std::free(table->SendData);
    table->SendData = nullptr;
    table->SendLength = 0;
  };
  // Impersonating the client has no counterpart on a local socket; it always succeeds.
  PipeConnection* pipe = table->hPipe;
  uint32_t sent = 0;
  size_t last = 0;
  while (sent < size) {
    auto n = pipe != nullptr ? pipe->write(frame + sent, size - sent, kPipeWriteTimeoutMs)
                             : qma::platform::Result<size_t>::failure(EBADF);
    if (!n.ok()) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "WriteFile() error! GetLastError=[%d] param3=[%d] param4=[%d]", n.error(),
                   static_cast<int>(size - sent), static_cast<int>(sent));
      drop_frame();
      return 0;
    }
    if (*n > size - sent) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Data send error!(WriteFile) GetLastError=[%d] param3=[%d] param4=[%d]",
                   qma::platform::last_error(), static_cast<int>(size - sent),
                   static_cast<int>(*n));
      drop_frame();
      return 0;
    }
    last = *n;
    sent += static_cast<uint32_t>(*n);
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "write for pipe end : %d!!", static_cast<int>(last));
  drop_frame();
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_dataSendToMox() end.");
  return 1;
}

void QMA_pipeDisconnect(PipeConnection* pipe) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_pipeDisconnect() start.");
  if (pipe != nullptr) {
    if (auto closed = pipe->close(); !closed.ok()) {
      QMA_LogError(__func__, kSrc, __LINE__, "DisconnectNamedPipe() error! GetLastError=[%d]",
                   closed.error());
    }
    delete pipe;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_pipeDisconnect() end.");
}
