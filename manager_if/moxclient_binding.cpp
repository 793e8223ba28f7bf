// Binds the communication client library by name and keeps it until the worker thread ends.
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "common/log/qma_log.h"
#include "common/qma_funcinit.h"
#include "manager_if/decimal.h"
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
  auto library = qma::platform::DynamicLibrary::load(QMA_MOXCLIENT_LIBRARY);
  if (!library.ok()) {
    QMA_LogError(__func__, kSrc, __LINE__, "LoadLibrary() error! (%s)", QMA_MOXCLIENT_LIBRARY);
    return 0;
  }
  QMA_LogInfo(__func__, kSrc, __LINE__, "DLL loaded. (%s)", QMA_MOXCLIENT_LIBRARY);
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
  QMA_LogInfo(__func__, kSrc, __LINE__, "%s unloaded.", QMA_MOXCLIENT_LIBRARY);
}

const QMA_MoxClientEntries* QMA_CMN_GetMoxClientEntries() {
  std::lock_guard<std::mutex> lock(g_mox_mutex);
  return g_mox_bound ? &g_mox_entries : nullptr;
}

int QMA_CMN_SendToMox(const char* address, const char* port, const char* body, int length) {
  const QMA_MoxClientEntries* mox = QMA_CMN_GetMoxClientEntries();
  if (mox == nullptr || address == nullptr || port == nullptr || body == nullptr) return 0;
  void* io = mox->create_mox_io_data(length, body, 0, 0);
  if (io == nullptr) {
    QMA_LogError(__func__, kSrc, __LINE__, "MOX_IO_DATA create error! para1=[%d] para2=[%s]",
                 length, body);
    return 0;
  }
  // The communication service's name chooses the transport.
  std::string file = qma::platform::join_path(
      qma::platform::join_path(qma::platform::get_env("AXIS2C_HOME").value_or(""), "bin"),
      "moxService.xml");
  char service[260] = {};
  const char* path[] = {"parameter", "serviceName", ""};
  if (g_QMAgentSub.QMA_XML_GetElementValueForFile == nullptr ||
      g_QMAgentSub.QMA_XML_GetElementValueForFile(QMA_LogError, file.c_str(), path, service,
                                                  sizeof service) != 1) {
    QMA_LogError(__func__, kSrc, __LINE__, "Get ServiceName from %s error! [%s:%s]", file.c_str(),
                 "parameter", "serviceName");
    std::strcpy(service, "moxService");
  }
  QMA_MOX_SYNC_REQUEST send =
      std::strcmp(service, "moxServicePlain") == 0 ? mox->syncRequestForPlain : mox->syncRequest;
  void* reply = nullptr;
  int port_number = qma::manager_if::decimal_value(port, std::strlen(port));
  int rc = send(address, port_number, "quillmend.manager", 180, io, &reply);
  if (rc == 0) {
    QMA_LogError(__func__, kSrc, __LINE__,
                 "_syncRequest() error! para1=[%s] para2=[%d] para5=[%lld]", address, port_number,
                 qma::manager_if::pointer_number(io));
  }
  mox->free_mox_io_data(io);
  if (reply != nullptr) mox->free_mox_io_data(reply);
  return rc != 0 ? 1 : 0;
}
