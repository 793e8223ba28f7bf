// The calling thread's last-error number, as the agent's log lines print it.
#pragma once

namespace qma::platform {

/// Windows error codes that the emulated facilities report.
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorHandleEof = 38;
/// A wait on a stream that ran out of time.
inline constexpr int kErrorSemTimeout = 121;
inline constexpr int kErrorInsufficientBuffer = 122;
inline constexpr int kErrorAlreadyExists = 183;
inline constexpr int kErrorPipeBusy = 231;
inline constexpr int kErrorMoreData = 234;
inline constexpr int kErrorServiceDoesNotExist = 1060;
inline constexpr int kErrorServiceNotActive = 1062;
inline constexpr int kErrorFailedServiceControllerConnect = 1063;
inline constexpr int kErrorServiceExists = 1073;
/// An announcement or request that did not end within its time limit.
inline constexpr int kErrorTimeout = 1460;

/// The last error recorded on this thread by a platform call (0 when none).
int last_error();
/// Records an error number for this thread; platform calls do this when they fail.
void set_last_error(int error);

}  // namespace qma::platform
