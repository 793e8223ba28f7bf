// Binds the communication client library by name and keeps it until the worker thread ends.
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "common/log/qma_log.h"
#include "common/qma_funcinit.h"
#include "manager_if/decimal.h"
#include "manager_if/qma_manager_if.h"
#include "manager_if/qma_moxclient.h"
#include "platform/dynlib.h"
#include "platform/environment.h"
#include "platform/file.h"

namespace {

constexpr const char* kSrc = "QMACommon";

std::mutex g_mox_mutex;
std::optional<qma::platform::DynamicLibrary> g_mox_library;
QMA_MoxClientEntries g_mox_entries{};
bool g_mox_bound = false;

}  // namespace

int QMA_CMN_LoadLibraryForMoxClient() {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CMN_LoadLibrary() start! Call LoadLibrary!!");
  std::lock_guard<std::mutex> lock(g_mox_mutex);
  auto library = qma::platform::DynamicLibrary::load(qma::platform::kMoxClientLibraryName);
  if (!library.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "LoadLibrary() error! (%s)",
                 qma::platform::kMoxClientLibraryName);
    return 0;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "DLL loaded. (%s)", qma::platform::kMoxClientLibraryName);
  const char* names[] = {"create_mox_io_data", "free_mox_io_data", "syncRequest",
                         "syncRequestForPlain"};
  void* addresses[4] = {};
  for (int i = 0; i < 4; ++i) {
    addresses[i] = library->symbol(names[i]);
    if (addresses[i] == nullptr) {
      QMA_LogError(__func__, kSrc, __LINE__, "GetProcAddress() error! (%s)", names[i]);
      return 0;  // the library unloads with its owner
    }
    QMA_LogInfo(__func__, kSrc, __LINE__, "Get DLL address. (%s)", names[i]);
  }
  g_mox_entries.create_mox_io_data = reinterpret_cast<QMA_MOX_CREATE_IO_DATA>(addresses[0]);
  g_mox_entries.free_mox_io_data = reinterpret_cast<QMA_MOX_FREE_IO_DATA>(addresses[1]);
  g_mox_entries.syncRequest = reinterpret_cast<QMA_MOX_SYNC_REQUEST>(addresses[2]);
  g_mox_entries.syncRequestForPlain = reinterpret_cast<QMA_MOX_SYNC_REQUEST>(addresses[3]);
  g_mox_library = std::move(library.value());
  g_mox_bound = true;
  return 1;
}

void QMA_CMN_FreeLibraryForMoxClient() {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_CMN_FreeLibrary() start! Call FreeLibrary!!");
  std::lock_guard<std::mutex> lock(g_mox_mutex);
  g_mox_bound = false;
  g_mox_entries = {};
  if (g_mox_library) {
    (void)g_mox_library->unload();
    g_mox_library.reset();
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "%s unloaded.", qma::platform::kMoxClientLibraryName);
}

const QMA_MoxClientEntries* QMA_CMN_GetMoxClientEntries() {
  std::lock_guard<std::mutex> lock(g_mox_mutex);
  return g_mox_bound ? &g_mox_entries : nullptr;
}

namespace {

/// One notice through the bound library: create the data record, choose the request function
/// by the communication service's name, send, release. Lines are logged under func.
int deliver(const char* func, const char* address, const char* port, const char* body, int length) {
  const QMA_MoxClientEntries* mox = QMA_CMN_GetMoxClientEntries();
  void* io =
      mox != nullptr && body != nullptr ? mox->create_mox_io_data(length, body, 0, 0) : nullptr;
  if (io == nullptr) {
    QMA_LogError(func, kSrc, __LINE__, "MOX_IO_DATA create error! para1=[%d] para2=[%s]", length,
                 body != nullptr ? body : "");
    return 0;
  }
  // The communication service's name chooses the transport. Without the installation root
  // nothing is read: a relative bin/moxService.xml would be some other file.
  const auto home = qma::platform::get_nonempty_env("AXIS2C_HOME");
  std::string file = qma::platform::join_path(
      qma::platform::join_path(home.value_or("$AXIS2C_HOME"), "bin"), "moxService.xml");
  char service[260] = {};
  const char* path[] = {"parameter", "serviceName", ""};
  if (!home || g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
      g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, file.c_str(), path, service,
                                                  sizeof service) != 1) {
    QMA_LogError(func, kSrc, __LINE__, "Get ServiceName from %s error! [%s:%s]", file.c_str(),
                 "parameter", "serviceName");
    std::strcpy(service, "moxService");
  }
  QMA_MOX_SYNC_REQUEST send =
      std::strcmp(service, "moxServicePlain") == 0 ? mox->syncRequestForPlain : mox->syncRequest;
  void* reply = nullptr;
  // Only leading digits count: a port text that does not begin with one is port 0.
  int port_number = qma::manager_if::leading_digits_value(port, std::strlen(port));
  int rc = send(address, port_number, "quillmend.manager", 180, io, &reply);
  const long long io_number = qma::manager_if::pointer_number(io);
  mox->free_mox_io_data(io);
  if (reply != nullptr) mox->free_mox_io_data(reply);
  if (rc == 0) {
    QMA_LogError(func, kSrc, __LINE__, "_syncRequest() error! para1=[%s] para2=[%d] para5=[%lld]",
                 address, port_number, io_number);
    return 0;
  }
  return 1;
}

}  // namespace

int QMA_CMN_SendToMox(const char* address, const char* port, const char* body, int length) {
  if (address == nullptr || port == nullptr || body == nullptr) return 0;
  return deliver(__func__, address, port, body, length);
}

int QMA_NotifyComplete(MPITbl* mpi, CMDTbl* cmd) {
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_NotifyComplete() start.");
  if (cmd == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "Parameter error pstCMDTbl=[%lld]",
                 qma::manager_if::pointer_number(cmd));
    return 0;
  }
  const QMMData& data = cmd->ReqInfo.QMMData;
  if (data.ReplyToAddress[0] == '\0') {
    QMA_LogError(__func__, kSrc, __LINE__, "IP address of the destination is not specified.");
    return 0;
  }
  if (data.ReplyToPort[0] == '\0') {
    QMA_LogError(__func__, kSrc, __LINE__, "Port number of the destination is not specified.");
    return 0;
  }
  const char* body = mpi != nullptr ? mpi->ResText : nullptr;
  int length = mpi != nullptr ? static_cast<int>(mpi->ResTextLength) : 0;
  if (deliver(__func__, data.ReplyToAddress, data.ReplyToPort, body, length) != 1) return 0;
  QMA_LogInfo(__func__, kSrc, __LINE__, "QMA_NotifyComplete() end.");
  return 1;
}
