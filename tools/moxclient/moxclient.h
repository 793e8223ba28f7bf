// Entry points of the communication client library libmoxclient.so, as the agent calls them.
#pragma once

extern "C" {

/// Wraps length bytes of data into a new data handle; null on failure.
void* create_mox_io_data(int length, const char* data, int reserved1, int reserved2);
/// Frees a data handle (a request or a reply); null is ignored.
void free_mox_io_data(void* io);
/// Posts the data to https://address:port/service_name with the server's
/// certificate and name verified (CA file $QMA_MOX_CAFILE, else the system's);
/// waits at most time_limit seconds (180 when not above 0). The address is a host
/// name, an IPv4 or an IPv6 address; https_proxy and no_proxy apply. Non-zero when
/// the receiver accepted the data (2xx answer, no redirect followed); *reply then
/// holds its answer body (at most 16 MiB, a longer answer fails).
int syncRequest(const char* address, int port, const char* service_name, int time_limit, void* io,
                void** reply);
/// The same over plain HTTP (http_proxy and no_proxy apply).
int syncRequestForPlain(const char* address, int port, const char* service_name, int time_limit,
                        void* io, void** reply);

typedef void* (*QMA_MOX_CREATE_IO_DATA)(int, const char*, int, int);
typedef void (*QMA_MOX_FREE_IO_DATA)(void*);
typedef int (*QMA_MOX_SYNC_REQUEST)(const char*, int, const char*, int, void*, void**);

/// Reads the bytes of a data handle (for tests and tools); null when io is null.
const char* mox_io_data_bytes(const void* io, int* length);
}
