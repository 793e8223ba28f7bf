// IPMI commands to the BMC: the WMI provider or the driver device, serialised by a named mutex.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bmcgate/bmcgate.h"
#include "bmcgate/bmcgate_seams.h"
#include "bmcgate/ipmi_wmi_provider.h"
#include "bmcgate/library_log.h"
#include "bmcgate/library_state.h"
#include "platform/ipmi_device.h"
#include "platform/named_mutex.h"

namespace qma::bmcgate {
namespace {

constexpr unsigned int kIpmiIoctlCode = 0x810C2004u;
constexpr unsigned char kGetDeviceId[] = {0x18, 0x01};
constexpr unsigned int kFwResponseSize = 127;
constexpr unsigned int kMinDeviceIdResponse = 14;
constexpr uint8_t kResponderAddress = 0x20;
constexpr const char* kIpmiMutexName = "ASyncMutexForIpmiCommand";
constexpr int kDeviceAttempts = 3;
constexpr uint32_t kDevicePauseMs = 500;
/// How long one exchange waits for the BMC's reply before the attempt fails.
constexpr uint32_t kReplyWaitMs = 5000;
constexpr uint8_t kCompletionOk = 0x00;
constexpr uint8_t kCompletionD5 = 0xD5;

// The driver device: three opens, then three exchanges, 500 ms after each failure.
int device_access(unsigned int ioctl_code, const unsigned char* request, unsigned int request_len,
                  unsigned char* response, unsigned int response_size, unsigned int* received_len) {
  std::unique_ptr<platform::IpmiDevice> device;
  for (int attempt = 0; attempt < kDeviceAttempts && !device; ++attempt) {
    auto opened = ipmi_driver().open();
    if (opened) {
      device = std::move(*opened);
    } else {
      sleeper().sleep(kDevicePauseMs);
    }
  }
  if (!device) {
    library_log("== ipmiAccess() IPMI device not found!! ==");
    return -2;
  }
  for (int attempt = 0; attempt < kDeviceAttempts; ++attempt) {
    // The driver knows one request code; anything else is refused like a bad one.
    if (ioctl_code == kIpmiIoctlCode) {
      auto exchanged =
          device->exchange(request, request_len, response, response_size, kReplyWaitMs);
      if (exchanged) {
        *received_len = static_cast<unsigned int>(*exchanged);
        return 0;
      }
    }
    sleeper().sleep(kDevicePauseMs);
  }
  return -3;
}

// The WMI provider, found on the first call of the process.
int wmi_access(const unsigned char* request, unsigned int request_len, unsigned char* response,
               unsigned int response_size, unsigned int* received_len) {
  void* services = nullptr;
  if (searchMSIpmiDriver(&services) != 0) return -2;
  char* object_path = nullptr;
  if (getInstanceName(&services, &object_path) != 0) return -2;
  unsigned int length = response_size;
  const int result = msIpmiAccess(request, request_len, response, &length, services, object_path);
  *received_len = length;
  std::free(object_path);
  state().class_object = nullptr;
  return result != 0 ? -3 : 0;
}

// Completion code 0xD5 counts as success for these five-byte requests.
bool d5_accepted(const unsigned char* request, unsigned int request_len) {
  return request_len == 5 && (request[0] == 0x18 || request[1] == 0x40 || request[2] == 1);
}

// One IPMI command under the process-spanning mutex.
int _ipmiAccess(const unsigned char* request, unsigned int request_len, unsigned char* response,
                unsigned int response_size, unsigned int* received_len) {
  auto mutex = platform::NamedMutex::create(kIpmiMutexName);
  if (!mutex) {
    library_log("== _ipmiAccess() CreateMutex error!! (%d) ==", mutex.error());
    return -1;
  }
  const platform::WaitStatus waited = mutex->wait(platform::kInfinite);
  if (waited == platform::WaitStatus::kFailed || waited == platform::WaitStatus::kTimeout) {
    library_log("== _ipmiAccess() WaitForSingleObject error!! ==");
    return -1;
  }
  library_log("_ipmiAccess()");
  library_log_dump("Input size ", request, request_len);
  *received_len = 0;
  const int accessed = ipmiAccess(kIpmiIoctlCode, request, request_len, response, response_size,
                                  received_len, state().log_enabled.load());
  const unsigned int shown = *received_len < response_size ? *received_len : response_size;
  library_log_dump("Output size", response, shown);

  // The provider reports its full length even when the buffer kept less: the
  // completion code is judged only when it was stored.
  bool ok = false;
  if (accessed == 0 && *received_len >= 3 && response_size >= 3) {
    const uint8_t completion = response[2];
    ok = completion == kCompletionOk ||
         (completion == kCompletionD5 && d5_accepted(request, request_len));
  }
  mutex->release();
  return ok ? 0 : -1;
}

}  // namespace

int serialised_ipmi_command(const unsigned char* request, unsigned int request_len,
                            unsigned char* response, unsigned int response_size,
                            unsigned int* received_len) {
  if (request == nullptr || response == nullptr || received_len == nullptr) return -1;
  return guarded(
      -1, [&] { return _ipmiAccess(request, request_len, response, response_size, received_len); });
}

}  // namespace qma::bmcgate

using namespace qma::bmcgate;  // NOLINT(google-build-using-namespace)

extern "C" int getBmcFwRevision(unsigned char* revision) {
  return guarded(-1, [&] {
    library_log("== getBmcFwRevision() start!! ==");
    int result = -1;
    unsigned char response[kFwResponseSize] = {};
    unsigned int received = 0;
    if (revision != nullptr && _ipmiAccess(kGetDeviceId, sizeof(kGetDeviceId), response,
                                           sizeof(response), &received) == 0) {
      if (received < kMinDeviceIdResponse) {
        library_log("Response Data size is invalid.");
      } else {
        revision[0] = response[5];
        revision[1] = response[6];
        result = 0;
      }
    }
    library_log("== getBmcFwRevision() end!! ==");
    return result;
  });
}

extern "C" int ipmiAccess(unsigned int ioctl_code, const unsigned char* request,
                          unsigned int request_len, unsigned char* response,
                          unsigned int response_size, unsigned int* received_len, int log_flag) {
  return guarded(-3, [&] {
    LibraryState& st = state();
    if (log_flag > 0) st.log_enabled = log_flag;
    if (request == nullptr || response == nullptr || received_len == nullptr || request_len == 0 ||
        response_size == 0) {
      return -1;
    }
    st.class_object = nullptr;
    if (!st.provider_searched.load()) {
      void* services = nullptr;
      if (searchMSIpmiDriver(&services) == 0) st.use_wmi = true;
      st.provider_searched = true;
      st.class_object = nullptr;
    }
    if (!st.use_wmi.load()) {
      return device_access(ioctl_code, request, request_len, response, response_size, received_len);
    }
    return wmi_access(request, request_len, response, response_size, received_len);
  });
}

extern "C" int searchMSIpmiDriver(void** services) {
  return guarded(-11, [&] {
    IpmiWmiProvider& provider = ipmi_wmi_provider();
    int stage = 0;
    const long hresult = provider.open_class(&stage);
    if (stage != 0) {
      log_error_code(stage, hresult);
      return stage;
    }
    if (services != nullptr) *services = &provider;
    state().class_object = &provider;
    return 0;
  });
}

extern "C" int getInstanceName(void** services, char** object_path) {
  return guarded(-13, [&] {
    if (services == nullptr || *services == nullptr || object_path == nullptr) {
      log_error_code(-13, kWbemFailed);
      return -13;
    }
    auto* provider = static_cast<IpmiWmiProvider*>(*services);
    std::string name;
    int stage = 0;
    const long hresult = provider->first_instance_name(&name, &stage);
    if (stage != 0) {
      log_error_code(stage, hresult);
      *services = nullptr;
      return stage;
    }
    // Every backslash doubled, empty pieces dropped.
    std::string escaped;
    size_t start = 0;
    while (start <= name.size()) {
      size_t end = name.find('\\', start);
      if (end == std::string::npos) end = name.size();
      if (end > start) {
        if (!escaped.empty()) escaped += "\\\\";
        escaped.append(name, start, end - start);
      }
      start = end + 1;
    }
    const std::string path = std::string("\\\\.\\") + "root\\WMI" + ":" + "Microsoft_IPMI" +
                             ".InstanceName=\"" + escaped + "\"";
    char* copy = static_cast<char*>(std::malloc(path.size() + 1));
    if (copy == nullptr) {
      *services = nullptr;
      return -19;
    }
    std::memcpy(copy, path.c_str(), path.size() + 1);
    *object_path = copy;
    return 0;
  });
}

extern "C" int msIpmiAccess(const unsigned char* request, unsigned int request_len,
                            unsigned char* response, unsigned int* received_len, void* services,
                            const char* object_path) {
  return bmc_Access2(request, request_len, response, received_len, services, object_path);
}

extern "C" int bmc_Access2(const unsigned char* request, unsigned int request_len,
                           unsigned char* response, unsigned int* received_len, void* services,
                           const char* object_path) {
  return guarded(1, [&] {
    if (request == nullptr || response == nullptr || received_len == nullptr) return 1;
    if (createParameter(request, request_len) != 0) return 1;
    BmcGateResponseData output{};
    const int executed = executionIpmiCommand(&output, services, object_path);
    if (executed != 0) return executed;
    const unsigned int room = *received_len;
    unsigned int stored = 0;
    auto put = [&](unsigned char byte) {
      if (stored < room) response[stored++] = byte;
    };
    put(request[0]);
    put(request[1]);
    for (unsigned int i = 0; i < output.count; ++i) put(output.bytes[i]);
    *received_len = (output.count + 2) & 0xFF;
    return 0;
  });
}

extern "C" int createParameter(const unsigned char* request, unsigned int request_len) {
  return guarded(-15, [&] {
    LibraryState& st = state();
    IpmiWmiProvider* provider = st.class_object.load();
    if (provider == nullptr) {
      log_error_code(-14, kWbemFailed);
      return -14;
    }
    if (const long hresult = provider->get_method(); hresult != 0) {
      log_error_code(-14, hresult);
      return -14;
    }
    // The command byte is the last one a request must have.
    if (request == nullptr || request_len < 2) {
      log_error_code(-15, kWbemFailed);
      return -15;
    }
    IpmiInParameters in;
    in.network_function = static_cast<uint8_t>(request[0] >> 2);
    in.lun = 0;
    in.responder_address = kResponderAddress;
    in.command = request[1];
    in.request_data_size = static_cast<int32_t>(request_len) - 2;
    if (request_len > 2) {
      in.has_request_data = true;
      in.request_data.assign(request + 2, request + request_len);
    }
    st.in_parameters = std::move(in);
    st.in_parameters_valid = true;
    return 0;
  });
}

extern "C" int executionIpmiCommand(BmcGateResponseData* output, void* services,
                                    const char* object_path) {
  return guarded(-16, [&] {
    LibraryState& st = state();
    auto* provider = static_cast<IpmiWmiProvider*>(services);
    if (provider == nullptr || output == nullptr || object_path == nullptr ||
        !st.in_parameters_valid) {
      log_error_code(-16, kWbemFailed);
      return -16;
    }
    std::vector<uint8_t> data;
    int stage = 0;
    const long hresult = provider->request_response(object_path, st.in_parameters, &data, &stage);
    st.in_parameters = {};
    st.in_parameters_valid = false;
    if (stage != 0) {
      log_error_code(stage, hresult);
      return stage;
    }
    output->count = static_cast<unsigned int>(
        data.size() < sizeof(output->bytes) ? data.size() : sizeof(output->bytes));
    std::memcpy(output->bytes, data.data(), output->count);
    return 0;
  });
}
