// The worker thread QMA_outsideIF (start-up and accept loop), the connection threads
// that read, parse and admit one request each, and the request thread QMA_ManagerProcIF.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands/qma_commands.h"
#include "commands/update/package_info.h"
#include "commands/update/tool_records.h"
#include "common/cmn/qmcmn.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/status/qma_status.h"
#include "manager_if/decimal.h"
#include "manager_if/pipe_control.h"
#include "manager_if/qma_manager_if.h"
#include "manager_if/qma_moxclient.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/local_pipe.h"
#include "platform/named_mutex.h"
#include "platform/semaphore.h"
#include "platform/service_manager.h"

namespace {

constexpr const char* kSrc = "QMAProc";
// A handle prints as hexadecimal digits of the pointer's full width after "0x".
constexpr int kHandleDigits = static_cast<int>(2 * sizeof(void*));

// Connection threads that are still reading, parsing or waiting for admission, and
// admitted requests that have not ended yet. The worker waits for both before it
// closes what they share (the mutex handle, the client library) on a stop.
std::atomic<int> g_reading_connections{0};
std::atomic<int> g_active_requests{0};
// The action control mutex the worker opened; connection threads admit with it.
QMA_ACTCTRL_MUTEX g_admission_mutex = nullptr;

// Admission in arrival order: each connection whose frame has arrived whole and
// parsed takes the next ticket and is admitted when its ticket is served, one at a
// time, so no request is admitted between another's check and its registration.
std::mutex g_turn_mutex;
std::condition_variable g_turn_changed;
uint64_t g_next_ticket = 0;
uint64_t g_serving = 0;

// How long a stopping worker gives connection threads to notice (their reads are
// cancelled) and admitted requests to finish their answers.
constexpr int kReaderEndWaitMs = 2000;
constexpr int kRequestEndWaitMs = 2500;
// The function name of the worker's log lines, also when a connection thread writes them.
constexpr const char* kWorker = "QMA_outsideIF";

int command_code_of(const CMDTbl* cmd) {
  return qma::manager_if::decimal_value(cmd->ReqInfo.CommandCode, sizeof cmd->ReqInfo.CommandCode);
}

void disconnect(MPITbl* table) {
  QMA_pipeDisconnect(table->hPipe);
  table->hPipe = nullptr;
}

void free_received(MPITbl* table) {
  qma::manager_if::free_received_frame(table);
}

void free_response(MPITbl* table) {
  std::free(table->ResText);
  table->ResText = nullptr;
  table->ResTextLength = 0;
}

// Closes a connection that is not handed on, and frees its tables.
void drop(MPITbl* table) {
  free_received(table);
  free_response(table);
  disconnect(table);
  qma::manager_if::free_tables(table);
}

// The answer of a refused (901) or disabled-agent (900) request.
void fill_refusal(CMDTbl* cmd, const char* status) {
  ResInfo& res = cmd->ResInfo;
  QMCmnCopyField(res.InReplyTo, cmd->ReqInfo.MessageID);
  QMCmnCopyField(res.CommandCode, cmd->ReqInfo.CommandCode);
  QMCmnCopyField(res.Status, status);
  QMA_Cmn_AgentStatus_GetString(res.AgentStatus, sizeof res.AgentStatus);
}

void wait_for_zero(const std::atomic<int>& count, int limit_ms) {
  for (int waited = 0; waited < limit_ms && count.load() > 0; waited += 10) {
    qma::platform::sleep_ms(10);
  }
}

// Ends the worker: the pipe is let go first, then what start-up opened is closed.
unsigned int end_worker(QMA_ACTCTRL_MUTEX* mutex) {
  // However the worker ends, frames still being read are given up: nothing more is admitted.
  qma::manager_if::request_listener_stop();
  qma::manager_if::close_listener();
  // Connection threads still reading have had their reads cancelled; the ones
  // admitted may still use the mutex copy and the client library, so give them a
  // moment and leave both in place if they are still running.
  wait_for_zero(g_reading_connections, kReaderEndWaitMs);
  wait_for_zero(g_active_requests, kRequestEndWaitMs);
  qma::manager_if::clear_listener_stop();
  if (g_active_requests.load() == 0 && g_reading_connections.load() == 0) {
    g_admission_mutex = nullptr;
    if (mutex != nullptr && *mutex != nullptr) {
      QMA_ActCtrlTbl_CloseMutex(*mutex);
      *mutex = nullptr;
    }
    QMA_CMN_FreeLibraryForMoxClient();
  }
  return 0;
}

// Logs the analysed request, then admits it (check and registration) or refuses it
// with 901. True when the request was admitted: the caller then runs it.
bool admit(MPITbl* table, int code) {
  CMDTbl* cmd = table->CmdTbl;
  const ReqInfo& req = cmd->ReqInfo;
  const unsigned long long handle = table->hPipe->id();
  if (req.QMMData.ModuleID[0] != '\0') {
    QMA_LogInfo(kWorker, kSrc, __LINE__,
                "Data was analyzed. hPipe=[0x%0*llX] MsgVer=[%s] MsgID=[%s] iCommandCode=[%d] "
                "ModuleID=[%s]",
                kHandleDigits, handle, req.MessageVersion, req.MessageID, code,
                req.QMMData.ModuleID);
  } else {
    QMA_LogInfo(kWorker, kSrc, __LINE__,
                "Data was analyzed. hPipe=[0x%0*llX] MsgVer=[%s] MsgID=[%s] iCommandCode=[%d] "
                "ModuleID=[nothing]",
                kHandleDigits, handle, req.MessageVersion, req.MessageID, code);
  }

  int reason = 0;
  if (QMA_CheckForActCtrlTbl(g_admission_mutex, code, &reason) != 1) {
    QMA_LogError(kWorker, kSrc, __LINE__, "QMA_CheckForActCtrlTbl() error! errno=[%d]", reason);
    fill_refusal(cmd, "901");
    QMA_LogWarning(kWorker, kSrc, __LINE__,
                   "ManagerRequest Cancellation!!! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] "
                   "ModuleID=[%s]",
                   req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
    free_response(table);
    if (QMA_MakeSendData(table, cmd, 0) == 1) {
      if (QMA_dataSendToMox(table) != 1) {
        QMA_LogWarning(kWorker, kSrc, __LINE__,
                       "Error End of ManagerProcIF_Thread!! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] "
                       "ModuleID=[%s]",
                       req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
      }
    } else {
      QMA_LogError(kWorker, kSrc, __LINE__,
                   "Error End of QMA_outsideIF_Thread!! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] "
                   "ModuleID=[%s]",
                   req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
    }
    return false;
  }

  if (QMA_UpdateForActCtrlTbl(g_admission_mutex, 1, code) != 1) {
    QMA_LogWarning(kWorker, kSrc, __LINE__,
                   "QMA_UpdateForActCtrlTbl() error!!!! ... ManagerRequest Cancellation!!!!");
    return false;
  }
  table->hActCtrlMutex = g_admission_mutex;
  g_active_requests.fetch_add(1);
  return true;
}

// One connection, on a thread of its own: its frame is read and parsed here, off the
// accept loop, so a slow or silent client delays nobody else. Admission then takes
// its turn in arrival order, and an admitted request runs on, on this same thread.
void serve_connection(MPITbl* table) {
  qma::platform::PipeConnection* pipe = table->hPipe;
  qma::manager_if::register_reading(pipe);
  bool received = QMA_dataRecvFromMox(pipe, table) == 1;
  qma::manager_if::unregister_reading(pipe);
  if (!received || QMA_XmlparserForManager(table, table->CmdTbl) == 0) {
    drop(table);
    g_reading_connections.fetch_sub(1);
    return;
  }

  uint64_t ticket;
  {
    std::unique_lock<std::mutex> lock(g_turn_mutex);
    ticket = g_next_ticket++;
    g_turn_changed.wait(lock, [ticket] { return g_serving == ticket; });
  }
  int code = command_code_of(table->CmdTbl);
  // A stopping agent admits nothing more; the client sees the connection close.
  bool admitted = !qma::manager_if::listener_stop_requested() && admit(table, code);
  {
    std::lock_guard<std::mutex> lock(g_turn_mutex);
    ++g_serving;
  }
  g_turn_changed.notify_all();
  g_reading_connections.fetch_sub(1);
  if (!admitted) {
    drop(table);
    return;
  }
  QMA_ManagerProcIF(table);
}

// Threads that serve connections. A thread whose connection has ended waits a
// while for the next one, so a connection costs a hand-over instead of a new
// thread; a new thread is made only when no thread waits.
constexpr uint32_t kIdleWorkerKeepMs = 2000;

// A thread waiting for its next connection: the listener puts the table in and posts.
struct IdleWorker {
  qma::platform::Semaphore handed;
  MPITbl* table = nullptr;
};

struct ConnectionWorkers {
  std::mutex mutex;
  // The thread that waited last is handed the next connection first: it is the one
  // most likely still running, and the others may time out and end.
  std::vector<IdleWorker*> idle;
};

// Never destroyed: idle threads may still wait on it while the process ends.
ConnectionWorkers& workers() {
  static auto* pool = new ConnectionWorkers;
  return *pool;
}

void connection_worker(MPITbl* table) {
  ConnectionWorkers& pool = workers();
  IdleWorker self;
  for (;;) {
    serve_connection(table);
    {
      std::lock_guard<std::mutex> lock(pool.mutex);
      pool.idle.push_back(&self);
    }
    if (!self.handed.wait(kIdleWorkerKeepMs)) {
      std::unique_lock<std::mutex> lock(pool.mutex);
      auto found = std::find(pool.idle.begin(), pool.idle.end(), &self);
      if (found != pool.idle.end()) {
        pool.idle.erase(found);
        return;
      }
      // The listener took this thread as its time ran out: the post is on its way.
      lock.unlock();
      (void)self.handed.wait(qma::platform::kInfinite);
    }
    table = self.table;
    self.table = nullptr;
  }
}

// Gives a connection to a waiting thread, or to a new one; throws std::system_error
// when no thread can be made.
void hand_to_worker(MPITbl* table) {
  ConnectionWorkers& pool = workers();
  IdleWorker* worker = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (!pool.idle.empty()) {
      worker = pool.idle.back();
      pool.idle.pop_back();
      worker->table = table;
    }
  }
  // Posted after the lock is let go, so the thread does not wake only to wait for it.
  if (worker != nullptr) {
    worker->handed.post();
    return;
  }
  std::thread(connection_worker, table).detach();
}

}  // namespace

void QMA_outsideIF_RequestStop() {
  qma::manager_if::request_listener_stop();
}

unsigned int QMA_outsideIF(void* pkgstart) {
  int imode = pkgstart != nullptr ? *static_cast<int*>(pkgstart) : 0;
  QMA_LogInfo(__func__, kSrc, __LINE__, "imode : %d", imode);
  QMA_LogInfo(__func__, kSrc, __LINE__, "!!!!QuillmendAgent MainThread Start!!!!");

  if (QMA_CMN_LoadLibraryForMoxClient() != 1) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "QMA_CMN_LoadLibraryForMoxClient() error!! QMAgentService terminated....");
    return 0;
  }
  if (QMA_GetOSInformation() != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "QMA_GetOSInformation() error!");
  }
  QMA_ACTCTRL_MUTEX mutex = nullptr;
  if (QMA_ActCtrlTbl_CreateMutex(&mutex) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "QMA_ActCtrlTbl_CreateMutex() error!! QMAgentService terminated....");
    QMA_CMN_FreeLibraryForMoxClient();
    return 0;
  }
  // Tools of the previous run never outlive it into this one, except the tool of an update
  // whose first answer went out: that update is finished here, on the old run's behalf, at
  // every start (a crash ends a run as surely as a self-update does).
  const uint32_t answered_tool = qma::commands::answered_tool_of_previous_run();
  qma::commands::end_tools_of_previous_run(answered_tool);
  qma::commands::set_waits_for_unrecorded_tools(imode == 1);
  const std::string info_path = qma::commands::package_info_path();
  const bool info_exists = !info_path.empty() && qma::platform::file_readable(info_path);
  if ((imode == 1 || info_exists) && QMA_CheckQMAUpdateByPKG() != 1) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "QMA_CheckQMAUpdateByPKG() error!! QMAgentService terminated....");
    QMA_ActCtrlTbl_CloseMutex(mutex);
    QMA_CMN_FreeLibraryForMoxClient();
    return 0;
  }
  qma::commands::end_kept_tool(answered_tool);
  if (imode == 1) {
    // The hand-over is done: a restart that the service manager makes by itself (under
    // systemd it reads the start arguments of the last start again) must not repeat it.
    if (auto forgotten = qma::platform::forget_start_arguments(); !forgotten.ok()) {
      QMA_LogError(__func__, kSrc, __LINE__, "Start arguments not cleared. errno=[%d]",
                   forgotten.error());
    }
  }
  if (QMA_CheckSystemReboot() == 1) {
    QMA_Cmn_AgentStatus_Reset(g_QMAConfig.AgentEffect);
    QMA_Cmn_ModuleStatus_ResetAll();
  } else {
    QMA_Cmn_AgentStatus_Restore(g_QMAConfig.AgentEffect);
  }
  g_admission_mutex = mutex;

  for (;;) {
    qma::platform::PipeConnection* pipe = nullptr;
    if (QMA_pipeListen(&pipe) == 0) {
      if (!qma::manager_if::listener_stop_requested()) {
        QMA_LogError(__func__, kSrc, __LINE__,
                     "QMA_pipeListen() error!! QMAgentService terminated....");
      }
      return end_worker(&mutex);
    }
    QMA_LogInfo(
        __func__, kSrc, __LINE__,
        "QuillmendService. Arrival of the pipe was detected. Version=[%s], hPipe=[0x%0*llX]",
        g_QMAConfig.AgentVersion, kHandleDigits, static_cast<unsigned long long>(pipe->id()));

    MPITbl* table = qma::manager_if::allocate_tables();
    if (table == nullptr) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Manager I/F thread table was not allocated. Size=[%d],GetLastError=[%d] "
                   "QMAgentService terminated....",
                   static_cast<int>(sizeof(MPITbl)), ENOMEM);
      QMA_pipeDisconnect(pipe);
      return end_worker(&mutex);
    }
    if (table->CmdTbl == nullptr) {
      QMA_LogError(__func__, kSrc, __LINE__,
                   "Command information table was not allocated. Size=[%d],GetLastError=[%d] "
                   "QMAgentService terminated....",
                   static_cast<int>(sizeof(CMDTbl)), ENOMEM);
      qma::manager_if::free_tables(table);
      QMA_pipeDisconnect(pipe);
      return end_worker(&mutex);
    }
    table->hProcess = nullptr;
    table->hPipe = pipe;

    g_reading_connections.fetch_add(1);
    try {
      hand_to_worker(table);
    } catch (const std::system_error& error) {
      g_reading_connections.fetch_sub(1);
      QMA_LogWarning(__func__, kSrc, __LINE__, "_beginthreadex() error! errno=[%d] _doserrno =[%d]",
                     error.code().value(), error.code().value());
      drop(table);
    }
  }
}

unsigned int QMA_ManagerProcIF(void* argument) {
  auto* table = static_cast<MPITbl*>(argument);
  CMDTbl* cmd = table->CmdTbl;
  const ReqInfo& req = cmd->ReqInfo;
  QMA_LogInfo(__func__, kSrc, __LINE__,
              "Start of ManagerProcIF_Thread!! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] ModuleID=[%s] "
              "Address=[%s]",
              req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID,
              req.QMMData.ReplyToAddress);
  int code = command_code_of(cmd);
  bool dispatched = false;
  bool success;
  if (g_QMAConfig.AgentEffect == 1) {
    dispatched = true;
    success = QMA_DispatchForRequest(table, cmd) == 1;
  } else {
    if (code == 2 && table->ReqFileName[0] != '\0') {
      if (auto deleted = qma::platform::act_on_request_upload(
              table->ReqDirectory, table->ReqFileName, qma::platform::UploadAction::kDelete);
          !deleted.ok()) {
        QMA_LogError(__func__, kSrc, __LINE__,
                     "Upload not deleted. File=[%s] Folder=[%s] errno=[%d]", table->ReqFileName,
                     table->ReqDirectory, deleted.error());
      }
    }
    fill_refusal(cmd, "900");
    QMA_LogWarning(__func__, kSrc, __LINE__,
                   "QMAgent is INVALID! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] ModuleID=[%s]",
                   req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
    free_response(table);
    success = QMA_MakeSendData(table, cmd, 0) == 1 && QMA_dataSendToMox(table) == 1;
  }

  free_received(table);
  free_response(table);
  qma::manager_if::free_module_list(cmd);

  unsigned int result;
  if (success) {
    if (QMA_UpdateForActCtrlTbl(table->hActCtrlMutex, 0, code) != 1) {
      QMA_LogError(__func__, kSrc, __LINE__, "QMA_UpdateForActCtrlTbl() error!!!!!!!!");
    }
    QMA_LogInfo(__func__, kSrc, __LINE__,
                "Success End of ManagerProcIF_Thread!! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] "
                "ModuleID=[%s]",
                req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
    disconnect(table);
    result = 1;
  } else {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "Error End of ManagerProcIF_Thread!! MsgVer=[%s] MsgId=[%s] CmdCD=[%s] "
                 "ModuleID=[%s]",
                 req.MessageVersion, req.MessageID, req.CommandCode, req.QMMData.ModuleID);
    if (QMA_UpdateForActCtrlTbl(table->hActCtrlMutex, 0, code) != 1) {
      QMA_LogError(__func__, kSrc, __LINE__, "%s",
                   dispatched ? "QMA_UpdateForActCtrlTbl() error!!!!"
                              : "QMA_UpdateForActCtrlTbl() error!!!!!!!!");
    }
    disconnect(table);
    result = 0;
  }
  qma::manager_if::free_tables(table);
  if (success) QMA_LogInfo("QMA_ManagerProcIF", kSrc, __LINE__, "QMA_ManagerProcIF() end.");
  g_active_requests.fetch_sub(1);
  return result;
}
