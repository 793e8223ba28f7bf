// The binding of the communication client library (moxclient).
#pragma once

#include "tools/moxclient/moxclient.h"

/// The four bound entry points; every pointer is set while the library is bound.
struct QMA_MoxClientEntries {
  QMA_MOX_CREATE_IO_DATA create_mox_io_data;
  QMA_MOX_FREE_IO_DATA free_mox_io_data;
  QMA_MOX_SYNC_REQUEST syncRequest;
  QMA_MOX_SYNC_REQUEST syncRequestForPlain;
};

/// Binds the library and its four entry points; 1, or 0 with nothing bound.
int QMA_CMN_LoadLibraryForMoxClient();
/// Unbinds the library.
void QMA_CMN_FreeLibraryForMoxClient();
/// The bound entry points, or null when the library is not bound.
const QMA_MoxClientEntries* QMA_CMN_GetMoxClientEntries();

struct MPITbl;
struct CMDTbl;

/// Sends the completion notice built in mpi->ResText to the request's reply-to address and
/// port (ReplyToAddress, ReplyToPort of cmd). 1 when the library reported it delivered, else 0;
/// every failure is logged.
int QMA_NotifyComplete(MPITbl* mpi, CMDTbl* cmd);

/// Sends one notice body to address:port (port as decimal text) through the bound
/// library: syncRequestForPlain when the communication service's name in
/// $AXIS2C_HOME/bin/moxService.xml (parameter/serviceName, default "moxService")
/// is "moxServicePlain", syncRequest otherwise. 1 delivered, 0 failed (logged).
int QMA_CMN_SendToMox(const char* address, const char* port, const char* body, int length);
