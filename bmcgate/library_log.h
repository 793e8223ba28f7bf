// BmcGate's own log, BmcGate.log beside the agent, restarted by each process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qma::bmcgate {

/// Writes one line "<date and time> : <message>" when the log is enabled.
void library_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Writes an IPMI request or response as one line of hexadecimal bytes.
void library_log_dump(const char* label, const uint8_t* bytes, size_t count);

/// Closes the log's descriptor (the next line opens the file again), so the folder can go
/// while the process lives on; reset_process_state calls it.
void close_library_log();

}  // namespace qma::bmcgate
