// The exports of the inventory and IPMI library BmcGate, with C linkage.
#pragma once

#include "platform/library_export.h"

#define BMCGATE_API QMA_LIBRARY_EXPORT

extern "C" {

/// The ResponseData array of one RequestResponse call of the IPMI WMI provider:
/// the completion code first, then the response data.
typedef struct BmcGateResponseData {
  unsigned int count;
  unsigned char bytes[1024];
} BmcGateResponseData;

/// Refreshes Path and AXIS2C_HOME from the machine environment and sets the library
/// up once per process: 0, or -1.
BMCGATE_API int init(void);
/// Releases what init and the IPMI calls hold, the log file included (the next line
/// opens it again).
BMCGATE_API void finish(void);

/// Inventory texts: 0 with the text in the buffer (cut to size - 1), or -1.
BMCGATE_API int getBiosVersion(char* buffer, int size);
BMCGATE_API int getSerialNumber(char* buffer, int size);
BMCGATE_API int getProductName(char* buffer, int size);
BMCGATE_API int getGUID(char* buffer, int size);
/// Always 0; the buffer is zeroed and holds the OS display name when one was found.
BMCGATE_API int getOSNameString(char* buffer, int size);
/// The OS SKU number; 0 when it could not be read, -1 when no OS object was read.
BMCGATE_API int getOSProductInfo(int reserved);

/// The two firmware revision bytes of the BMC's Get Device ID reply: 0, or -1.
BMCGATE_API int getBmcFwRevision(unsigned char* revision);

/// One IPMI exchange without serialisation: 0; -1 bad arguments; -2 transport
/// unreachable; -3 exchange failed. A log flag above 0 becomes the log enabled flag.
BMCGATE_API int ipmiAccess(unsigned int ioctl_code, const unsigned char* request,
                           unsigned int request_len, unsigned char* response,
                           unsigned int response_size, unsigned int* received_len, int log_flag);
/// Opens the IPMI WMI provider's class: 0 with *services set, or -10, -11, -12.
BMCGATE_API int searchMSIpmiDriver(void** services);
/// The provider's object path (free it with free()): 0, or -13, -18, -19.
BMCGATE_API int getInstanceName(void** services, char** object_path);
/// *received_len holds the room in the response buffer on entry and the received
/// length on return.
BMCGATE_API int msIpmiAccess(const unsigned char* request, unsigned int request_len,
                             unsigned char* response, unsigned int* received_len, void* services,
                             const char* object_path);
BMCGATE_API int bmc_Access2(const unsigned char* request, unsigned int request_len,
                            unsigned char* response, unsigned int* received_len, void* services,
                            const char* object_path);
/// Builds the RequestResponse in-parameters from a request: 0, -14 or -15.
BMCGATE_API int createParameter(const unsigned char* request, unsigned int request_len);
/// Runs RequestResponse with the built in-parameters: 0, -16 or -17.
BMCGATE_API int executionIpmiCommand(BmcGateResponseData* output, void* services,
                                     const char* object_path);
}
