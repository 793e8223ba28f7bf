// The Linux IPMI driver device (ipmi_devintf) behind platform/ipmi_device.h.
//
// This file may include Linux headers and nothing above platform/ may see them.
// It speaks only the driver's character-device protocol; what the replies mean
// is the caller's business.
#include "platform/ipmi_device.h"

#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/environment.h"

namespace qma::platform {
namespace {

// The largest message the driver carries (IPMI_MAX_MSG_LENGTH of the kernel).
constexpr size_t kMaxMessage = 272;

class LinuxIpmiDevice final : public IpmiDevice {
 public:
  explicit LinuxIpmiDevice(int fd) : fd_(fd) {}
  ~LinuxIpmiDevice() override { ::close(fd_); }
  LinuxIpmiDevice(const LinuxIpmiDevice&) = delete;
  LinuxIpmiDevice& operator=(const LinuxIpmiDevice&) = delete;

  Result<size_t> exchange(const uint8_t* request, size_t request_len, uint8_t* response,
                          size_t response_size, uint32_t wait_ms) override {
    if (request == nullptr || request_len < 2 || request_len - 2 > kMaxMessage ||
        response == nullptr) {
      return Result<size_t>::failure(EINVAL);
    }
    ipmi_system_interface_addr to{};
    to.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    to.channel = IPMI_BMC_CHANNEL;
    to.lun = static_cast<unsigned char>(request[0] & 0x03);

    std::array<unsigned char, kMaxMessage> data{};
    std::copy(request + 2, request + request_len, data.begin());
    ipmi_req req{};
    req.addr = reinterpret_cast<unsigned char*>(&to);
    req.addr_len = sizeof(to);
    req.msgid = ++next_msgid_;
    req.msg.netfn = static_cast<unsigned char>(request[0] >> 2);
    req.msg.cmd = request[1];
    req.msg.data = data.data();
    req.msg.data_len = static_cast<unsigned short>(request_len - 2);
    if (::ioctl(fd_, IPMICTL_SEND_COMMAND, &req) < 0) return Result<size_t>::failure(errno);

    const uint64_t deadline = monotonic_ms() + wait_ms;
    for (;;) {
      const uint64_t now = monotonic_ms();
      if (now >= deadline) return Result<size_t>::failure(ETIMEDOUT);
      pollfd pfd{fd_, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(deadline - now));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return Result<size_t>::failure(errno);
      }
      if (ready == 0) return Result<size_t>::failure(ETIMEDOUT);

      ipmi_addr from{};
      std::array<unsigned char, kMaxMessage> reply{};
      ipmi_recv recv{};
      recv.addr = reinterpret_cast<unsigned char*>(&from);
      recv.addr_len = sizeof(from);
      recv.msg.data = reply.data();
      recv.msg.data_len = static_cast<unsigned short>(reply.size());
      // The truncating receive drops what does not fit instead of keeping the
      // message queued; it reports EMSGSIZE but still delivers the message.
      if (::ioctl(fd_, IPMICTL_RECEIVE_MSG_TRUNC, &recv) < 0 && errno != EMSGSIZE) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return Result<size_t>::failure(errno);
      }
      if (recv.recv_type != IPMI_RESPONSE_RECV_TYPE || recv.msgid != req.msgid) continue;

      size_t stored = 0;
      auto put = [&](uint8_t byte) {
        if (stored < response_size) response[stored++] = byte;
      };
      put(request[0]);
      put(request[1]);
      const size_t got = std::min<size_t>(recv.msg.data_len, reply.size());
      for (size_t i = 0; i < got; ++i) put(reply[i]);
      return stored;
    }
  }

 private:
  int fd_;
  long next_msgid_ = 0;
};

}  // namespace

Result<std::unique_ptr<IpmiDevice>> IpmiDriver::open() {
  static constexpr const char* kCandidates[] = {"dev/ipmi0", "dev/ipmi/0", "dev/ipmidev/0"};
  int first_error = 0;
  for (const char* candidate : kCandidates) {
    const std::string path = host_path(candidate);
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) return std::unique_ptr<IpmiDevice>(std::make_unique<LinuxIpmiDevice>(fd));
    if (first_error == 0) first_error = errno;
  }
  return Result<std::unique_ptr<IpmiDevice>>::failure(first_error);
}

}  // namespace qma::platform
