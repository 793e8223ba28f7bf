// The IPMI driver device \\.\IPMIDEV and its one I/O control request (Windows backend).
//
// This folder is the only place that may include OS headers. Nothing here logs. It speaks
// only the driver's request; what the replies mean is the caller's business.
#include "platform/ipmi_device.h"

#include <memory>
#include <utility>

#include "platform/error.h"
#include "platform/win32/fail.h"
#include "platform/win32/handle.h"
#include "platform/win32/wide.h"

namespace qma::platform {
namespace {

/// The driver's request: the request bytes in, the reply bytes out, laid out as the
/// caller's request (network function and LUN, command) followed by completion code and data.
constexpr DWORD kIpmiRequestResponse = 0x810C2004u;
constexpr const wchar_t* kDevicePath = L"\\\\.\\IPMIDEV";

using win32::Handle;

using win32::fail;

class WindowsIpmiDevice final : public IpmiDevice {
 public:
  explicit WindowsIpmiDevice(HANDLE device) : device_(device) {}

  Result<size_t> exchange(const uint8_t* request, size_t request_len, uint8_t* response,
                          size_t response_size, uint32_t wait_ms) override {
    if (request == nullptr || request_len < 2 || request_len > MAXDWORD || response == nullptr ||
        response_size == 0 || response_size > MAXDWORD) {
      return fail<size_t>(ERROR_INVALID_PARAMETER);
    }
    // Opened for overlapped I/O, so that a BMC that never answers costs at most wait_ms.
    Handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (done.get() == nullptr) return Result<size_t>::failure(win32::record_last_error());
    OVERLAPPED pending{};
    pending.hEvent = done.get();
    DWORD returned = 0;
    if (!::DeviceIoControl(device_.get(), kIpmiRequestResponse, const_cast<uint8_t*>(request),
                           static_cast<DWORD>(request_len), response,
                           static_cast<DWORD>(response_size), &returned, &pending)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        return Result<size_t>::failure(win32::record_last_error());
      }
      const DWORD waited = ::WaitForSingleObject(done.get(), wait_ms);
      if (waited != WAIT_OBJECT_0) {
        const int error = waited == WAIT_TIMEOUT ? kErrorSemTimeout : win32::record_last_error();
        // The request must be over before its buffers and event go away.
        ::CancelIoEx(device_.get(), &pending);
        ::GetOverlappedResult(device_.get(), &pending, &returned, TRUE);
        return fail<size_t>(error);
      }
      if (!::GetOverlappedResult(device_.get(), &pending, &returned, FALSE)) {
        return Result<size_t>::failure(win32::record_last_error());
      }
    }
    return static_cast<size_t>(returned < response_size ? returned : response_size);
  }

 private:
  Handle device_;
};

}  // namespace

Result<std::unique_ptr<IpmiDevice>> IpmiDriver::open() {
  // Reading access is what the driver's request asks for; others may have it open as well.
  Handle device(::CreateFileW(kDevicePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr));
  if (device.get() == nullptr) {
    return Result<std::unique_ptr<IpmiDevice>>::failure(win32::record_last_error());
  }
  return std::unique_ptr<IpmiDevice>(std::make_unique<WindowsIpmiDevice>(device.release()));
}

}  // namespace qma::platform
