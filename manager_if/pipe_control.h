// Inner controls of the pipe listener shared by the worker thread and the pipe functions.
#pragma once

#include <cstdint>

namespace qma::manager_if {

/// How long one read of a request frame may wait for the client's next bytes.
/// A client that sends part of a frame and then goes silent is dropped after this.
inline constexpr uint32_t kPipeReadTimeoutMs = 30000;
/// How long one write of a response may wait for the client to take bytes.
inline constexpr uint32_t kPipeWriteTimeoutMs = 30000;

/// Makes the listener's wait for a client end (QMA_pipeListen returns 0).
void request_listener_stop();
bool listener_stop_requested();
/// Removes the pipe endpoint and clears the stop request (end of the worker thread).
void close_listener();

}  // namespace qma::manager_if
