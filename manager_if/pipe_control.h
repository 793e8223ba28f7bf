// Inner controls of the pipe listener shared by the worker thread and the pipe functions.
#pragma once

#include <cstdint>

namespace qma::platform {
class PipeConnection;
}  // namespace qma::platform

namespace qma::manager_if {

/// How long a client has to deliver one whole request frame, from the moment its
/// connection is read. A client that sends part of a frame, or trickles it, or
/// sends nothing, is dropped when this runs out; other clients never wait for it.
inline constexpr uint32_t kFrameReadDeadlineMs = 30000;
/// The deadline in force (kFrameReadDeadlineMs unless a test shortened it).
uint32_t frame_read_deadline_ms();
void set_frame_read_deadline_ms(uint32_t ms);
/// The bytes held in received frames of all connections now (at most kFrameBufferBudget).
uint64_t buffered_frame_bytes();

/// How long one write of a response may wait for the client to take bytes.
inline constexpr uint32_t kPipeWriteTimeoutMs = 30000;

/// Makes the listener's wait for a client end (QMA_pipeListen returns 0), and
/// every read of a request frame that is still waiting end at once.
void request_listener_stop();
bool listener_stop_requested();
/// Removes the pipe endpoint: no client can connect any more (end of the worker thread).
void close_listener();
/// Clears the stop request once the worker thread has ended, so a worker can run again.
void clear_listener_stop();

/// A connection whose request frame is being read: a stop cancels its read.
/// Every connection registered is unregistered before it is closed.
void register_reading(platform::PipeConnection* pipe);
void unregister_reading(platform::PipeConnection* pipe);

}  // namespace qma::manager_if
