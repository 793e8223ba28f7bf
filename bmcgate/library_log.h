// BmcGate's own log, BmcGate.log beside the agent, restarted by each process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qma::bmcgate {

/// Writes one line "<date and time> : <message>" when the log is enabled.
void library_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Writes an IPMI request or response as one line of hexadecimal bytes.
void library_log_dump(const char* label, const uint8_t* bytes, size_t count);

/// Closes the log's file; the next line opens it again. A finished library keeps no handle
/// (a file still open cannot leave its folder on Windows).
void close_library_log();

}  // namespace qma::bmcgate
