// Local time with milliseconds, thread ids, monotonic time and sleeping (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/clock.h"

#include "platform/win32/wide.h"

namespace qma::platform {

LocalTime local_time_now() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

unsigned long current_thread_id() {
  return static_cast<unsigned long>(::GetCurrentThreadId());
}

uint64_t monotonic_ms() {
  return static_cast<uint64_t>(::GetTickCount64());
}

void sleep_ms(uint32_t ms) {
  // Sleep never returns early unless asked to be alertable; INFINITE is 0xFFFFFFFF, so the
  // longest pause is cut one millisecond short rather than becoming endless.
  ::Sleep(ms == INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
}

}  // namespace qma::platform
