// An agent's worker thread run inside a test, and a raw-frame client for its pipe.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "commands/qma_commands.h"
#include "common/host/os_info_source.h"
#include "common/host/qma_inventory.h"
#include "common/host/qma_system.h"
#include "common/log/qma_log.h"
#include "common/qma_config.h"
#include "common/qma_funcinit.h"
#include "manager_if/action_control.h"
#include "manager_if/frame_codec.h"
#include "manager_if/qma_manager_if.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/local_pipe.h"
#include "support/temp_roots.h"
#include "xmlsub/qmagentsub.h"

namespace qma::test {

/// A request message.
inline std::string request_xml(const std::string& code, const std::string& id = "M-1",
                               const std::string& version = "2.0", const std::string& data = "") {
  return "<QMMMessage MessageVersion=\"" + version + "\"><MessageID>" + id +
         "</MessageID><CommandCode>" + code + "</CommandCode>" +
         (data.empty() ? "" : "<QMMData>" + data + "</QMMData>") + "</QMMMessage>";
}

/// A request frame as the communication service writes it.
inline std::string request_frame(const std::string& xml, const std::string& file = "",
                                 const std::string& dir = "") {
  return manager_if::encode_frame(7, 9, file, dir, xml);
}

/// Connects to the agent's pipe, writes bytes (in pieces of `piece` bytes when
/// not 0), optionally closes early, and reads everything until the agent closes.
struct PipeExchange {
  bool connected = false;
  std::string answer;
};
inline PipeExchange exchange(const std::string& bytes, size_t piece = 0,
                             uint32_t timeout_ms = 20000, bool close_after_write = false) {
  PipeExchange result;
  auto pipe = platform::connect_local_pipe(QMA_PIPE_NAME, 5000);
  if (!pipe.ok()) return result;
  result.connected = true;
  size_t sent = 0;
  while (sent < bytes.size()) {
    size_t count = piece == 0 ? bytes.size() - sent : std::min(piece, bytes.size() - sent);
    auto n = pipe->write(bytes.data() + sent, count, 5000);
    if (!n.ok()) return result;
    sent += *n;
    if (piece != 0) platform::sleep_ms(1);
  }
  if (close_after_write) (void)pipe->close_write();
  char buffer[4096];
  uint64_t start = platform::monotonic_ms();
  while (platform::monotonic_ms() - start < timeout_ms) {
    auto n = pipe->read(buffer, sizeof buffer, 1000);
    if (n.ok()) {
      result.answer.append(buffer, *n);
    } else if (n.error() != platform::kErrorPipeTimeout) {
      break;
    }
  }
  return result;
}

/// The XML text of a response frame, after checking its header and name fields.
inline std::string answer_text(const std::string& frame, std::string* file_name = nullptr) {
  using namespace manager_if;
  EXPECT_GE(frame.size(), 528u);
  if (frame.size() < 528) return {};
  EXPECT_EQ(read_le32(frame.data()), 2u);
  EXPECT_EQ(read_le32(frame.data() + 4), 1u);
  uint32_t length = read_le32(frame.data() + 524);
  EXPECT_EQ(read_le32(frame.data() + 8), 516u + length);
  EXPECT_EQ(frame.size(), 528u + length);
  EXPECT_EQ(frame.substr(268, 256), std::string(256, '\0')) << "directory field";
  if (file_name != nullptr) {
    *file_name = std::string(frame.data() + 12, strnlen(frame.data() + 12, 256));
  } else {
    EXPECT_EQ(frame.substr(12, 256), std::string(256, '\0')) << "file name field";
  }
  return frame.substr(528);
}

/// The firmware facts of the test host: model with SKU, serial, GUID and BIOS version.
inline void write_dmi_facts(TempRoots& roots) {
  roots.write_host_file("sys/class/dmi/id/product_name", "ServerModel X\n");
  roots.write_host_file("sys/class/dmi/id/product_sku", "AB-1234\n");
  roots.write_host_file("sys/class/dmi/id/product_serial", "SN0042\n");
  roots.write_host_file("sys/class/dmi/id/product_uuid", "00112233-4455-6677-8899-aabbccddeeff\n");
  roots.write_host_file("sys/class/dmi/id/bios_version", "1.0\n");
}

/// Runs QMA_outsideIF on a thread over fresh roots, with fixed OS and boot facts.
class InProcessAgent {
 public:
  InProcessAgent() {
    log_dir_ = roots_.home() / "bin" / "QMA_LOGROOT";
    std::filesystem::create_directories(log_dir_);
    std::filesystem::create_directories(roots_.home() / "bin" / "QMA_PKGROOT");
    EXPECT_EQ(QMA_InitializeForLogFile(path_text(log_dir_).c_str(), 65535, &log_mutex_), 1);
    // The OS information record lives for the process; a fresh agent starts without one.
    std::free(g_QMAConfig.SystemInfo);
    g_QMAConfig = {};
    g_QMAConfig.AgentEffect = 1;
    std::strcpy(g_QMAConfig.AgentVersion, "3.1");
    std::strncpy(g_QMAConfig.LogSavePath, path_text(log_dir_).c_str(), QMA_LEN_PATH - 1);
    std::strncpy(g_QMAConfig.PkgSavePath, path_text(roots_.home() / "bin" / "QMA_PKGROOT").c_str(),
                 QMA_LEN_PATH - 1);
    g_QMAgentSub.QMA_XML_GetManagerRequestInfo = &QMA_XML_GetManagerRequestInfo;
    g_QMAgentSub.QMA_XML_GetAttrValueForFile_WithAttrs = &QMA_XML_GetAttrValueForFile_WithAttrs;
    g_QMAgentSub.QMA_XML_GetElemValueForFile_WithAttr = &QMA_XML_GetElemValueForFile_WithAttr;
    g_QMAgentSub.QMA_XML_GetElementValueForFile = &QMA_XML_GetElementValueForFile;
    // The service sets up the reader library's shared state before any request thread
    // parses; without it, first parses racing on several threads leak its encoding table.
    QMA_XML_InitParser();
    platform::set_system_event_log_source([] {
      return platform::Result<std::vector<platform::EventLogEntry>>(
          std::vector<platform::EventLogEntry>{{platform::kEventLogStarted, 1700000000, 64}});
    });
    commands::set_os_version_source([] {
      platform::OsVersionInfo v;
      v.major = 12;
      v.platform_id = platform::kPlatformLinux;
      v.product_type = 3;
      return platform::Result<platform::OsVersionInfo>(v);
    });
    common::OsInfoSource source;
    source.version = [](platform::OsVersionInfo& v) {
      v = {};
      v.major = 12;
      v.platform_id = platform::kPlatformLinux;
      v.product_type = 3;
      return true;
    };
    source.is_wow64 = [] { return 1; };
    common::set_os_info_source(source);
    commands::reset_os_information();
    manager_if::reset_action_control();
    write_dmi_facts(roots_);
    // The inventory library refreshes Path and AXIS2C_HOME from the machine environment.
    char value[1024] = {};
    const char* env_key = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    const char* path = std::getenv("PATH");
    QMA_Cmn_GetRegistory_String(env_key, "Path", path != nullptr ? path : "/usr/bin:/bin", value,
                                sizeof value);
    std::memset(value, 0, sizeof value);
    QMA_Cmn_GetRegistory_String(env_key, "AXIS2C_HOME", path_text(roots_.home()).c_str(), value,
                                sizeof value);
    EXPECT_EQ(QMA_BmcGateInit(), 0);
  }

  ~InProcessAgent() {
    stop();
    QMA_BmcGateFinish();
    platform::set_system_event_log_source(nullptr);
    commands::set_os_version_source(nullptr);
    common::set_os_info_source({});
    commands::reset_os_information();
    QMA_FinalizeForLogFile(&log_mutex_);
    // The logs keep their files open across lines; they close before the roots go.
    log::reset_for_testing();
  }

  /// Starts the worker and waits until its pipe accepts clients.
  void start() {
    worker_ = std::thread([this] { result_ = QMA_outsideIF(&pkgstart_); });
    for (int i = 0; i < 500 && !platform::local_pipe_listening(QMA_PIPE_NAME); ++i) {
      platform::sleep_ms(10);
    }
    ASSERT_TRUE(platform::local_pipe_listening(QMA_PIPE_NAME)) << "the worker never listened";
  }
  void stop() {
    if (!worker_.joinable()) return;
    QMA_outsideIF_RequestStop();
    worker_.join();
  }
  /// Ends on its own (listener failure) and is joined.
  unsigned int join() {
    worker_.join();
    return result_;
  }

  std::string log() const { return read_text(log_dir_ / "QMAgent.log"); }
  int count_in_log(const std::string& text) const {
    std::string all = log();
    int count = 0;
    for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + 1)) {
      ++count;
    }
    return count;
  }

  TempRoots roots_;
  std::filesystem::path log_dir_;
  QMA_MUTEX_HANDLE log_mutex_ = nullptr;
  int pkgstart_ = 0;
  unsigned int result_ = 99;
  std::thread worker_;
};

}  // namespace qma::test
