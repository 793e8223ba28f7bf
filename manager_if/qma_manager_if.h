// The manager interface: the pipe, its frames, the per-request tables and the request threads.
#pragma once

#include <stdint.h>  // NOLINT(modernize-deprecated-headers)

#include "common/qma_records.h"
#include "manager_if/action_control.h"

namespace qma::platform {
class PipeConnection;
}  // namespace qma::platform
namespace qma::platform {
class Process;
}  // namespace qma::platform

/// The pipe's name; on Linux a socket at $QMA_STATE_DIR/pipe/qmagentsvc.
#define QMA_PIPE_NAME "qmagentsvc"

/// Manager-interface thread table: one per accepted connection, allocated zeroed
/// by the worker thread and freed by whoever ends the request.
struct MPITbl {
  qma::platform::PipeConnection* hPipe;  // the connected pipe instance (owned)
  qma::platform::Process* hProcess;      // the command's update tool; null when none
  QMA_ACTCTRL_MUTEX hActCtrlMutex;       // copy of the action control mutex handle
  uint32_t RecvLength;                   // 12 + N
  char* RecvData;                        // 12 + N + 1 bytes; the body from byte 12 on (owned)
  uint32_t ReqFileNameLen;
  char ReqFileName[QMA_LEN_PATH];
  uint32_t ReqDirectoryLen;
  char ReqDirectory[QMA_LEN_PATH];
  uint32_t ReqXmlLength;  // L of the request
  const char* ReqXml;     // points into RecvData
  uint32_t SendLength;
  char* SendData;  // the response frame while it is being written (owned)
  char ResFileName[QMA_LEN_PATH];
  uint32_t ResTextLength;
  char* ResText;          // the response XML (owned)
  struct CMDTbl* CmdTbl;  // the request's command table (owned)
};

/// The worker thread: start-up, then the accept loop. Each accepted connection is
/// read, parsed and admitted on a thread of its own (admission in arrival order),
/// which then runs the admitted request. pkgstart points at the package-start
/// flag. Returns only when the listener cannot go on (or a stop was requested),
/// with 0, after letting go of the pipe.
unsigned int QMA_outsideIF(void* pkgstart);
/// Asks the worker thread to leave its accept loop soon (the service's stop).
void QMA_outsideIF_RequestStop();

/// Creates one pipe instance and waits for a client; 1 with *pipe set, 0 when the
/// listener cannot go on.
int QMA_pipeListen(qma::platform::PipeConnection** pipe);
/// Reads one request frame into the table; 1 or 0.
int QMA_dataRecvFromMox(qma::platform::PipeConnection* pipe, MPITbl* table);
/// The request thread's body (run on the admitted connection's thread); takes
/// ownership of the table. 1 success, 0 failure.
unsigned int QMA_ManagerProcIF(void* table);
/// Frames the table's response text and writes it; 1 or 0.
int QMA_dataSendToMox(MPITbl* table);
/// Disconnects and closes the pipe instance (and frees its owner).
void QMA_pipeDisconnect(qma::platform::PipeConnection* pipe);

/// Parses the request XML of the table into its command table; 1 or 0.
int QMA_XmlparserForManager(MPITbl* mpi, CMDTbl* cmd);
/// Runs the command of the request and sends its answer; 1 or 0.
int QMA_DispatchForRequest(MPITbl* mpi, CMDTbl* cmd);

/// Builds the response XML into mpi->ResText (kind 1: completion notice); 1 or 0.
int QMA_MakeSendData(MPITbl* mpi, CMDTbl* cmd, int kind);
/// One pass of the builder: sizing (writes the needed size into *size) or writing
/// into buffer (capacity *size). 1 or 0.
int QMA_BuildSendData(MPITbl* mpi, CMDTbl* cmd, int kind, int sizing, char* buffer, uint32_t* size);

namespace qma::manager_if {
/// Allocates a zeroed MPITbl with its zeroed CMDTbl; null on failure.
MPITbl* allocate_tables();
/// Frees everything the table owns (frame buffers, texts, module list, pipe) and the tables.
void free_tables(MPITbl* table);
/// Frees the received frame and gives its bytes back to the budget of all connections.
void free_received_frame(MPITbl* table);
/// Frees the command table's module list with every entry's extension record.
void free_module_list(CMDTbl* cmd);
}  // namespace qma::manager_if
