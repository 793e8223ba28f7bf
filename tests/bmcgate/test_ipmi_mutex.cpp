// Two processes sending IPMI commands at once: the named mutex lets one through at a time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bmcgate/bmcgate.h"
#include "bmcgate_fakes.h"

namespace qma::test {
namespace {

namespace fs = std::filesystem;

/// A BMC that notices overlapping commands: each exchange leaves a marker in a
/// shared folder while it runs and waits a while for a marker of another
/// process to appear; seeing one is written down as an overlap.
class OverlapDetectingBmc : public platform::IpmiDriver {
 public:
  explicit OverlapDetectingBmc(fs::path folder) : folder_(std::move(folder)) {}

  class Device : public platform::IpmiDevice {
   public:
    explicit Device(const fs::path& folder) : folder_(folder) {}
    platform::Result<size_t> exchange(const uint8_t* /*request*/, size_t /*request_len*/,
                                      uint8_t* response, size_t response_size,
                                      uint32_t /*wait_ms*/) override {
      const fs::path mine = folder_ / ("inside." + std::to_string(getpid()));
      std::ofstream(mine).put('x');
      bool overlap = false;
      for (int i = 0; i < 40 && !overlap; ++i) {  // up to 200 ms
        for (const auto& entry : fs::directory_iterator(folder_)) {
          const std::string name = entry.path().filename().string();
          if (name.rfind("inside.", 0) == 0 && entry.path() != mine) overlap = true;
        }
        if (!overlap) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (overlap) std::ofstream(folder_ / "overlaps", std::ios::app) << getpid() << "\n";
      fs::remove(mine);
      const auto reply = device_id_reply(0x01, 0x02);
      const size_t count = std::min(reply.size(), response_size);
      std::copy(reply.begin(), reply.begin() + static_cast<long>(count), response);
      return count;
    }

   private:
    fs::path folder_;
  };

  platform::Result<std::unique_ptr<platform::IpmiDevice>> open() override {
    return std::unique_ptr<platform::IpmiDevice>(std::make_unique<Device>(folder_));
  }

 private:
  fs::path folder_;
};

class IpmiMutexTest : public BmcGateTest {
 protected:
  void SetUp() override {
    BmcGateTest::SetUp();
    folder = roots.base() / "bmc";
    fs::create_directories(folder);
    bmcgate::set_ipmi_driver(&bmc);
  }

  /// Runs `commands` in each of two child processes started together; true when
  /// both ended with status 0.
  template <typename Command>
  bool run_in_two_children(Command command) {
    pid_t children[2];
    for (pid_t& child : children) {
      child = fork();
      if (child == 0) {
        start_together();
        int failures = 0;
        for (int i = 0; i < 3; ++i) failures += command() != 0 ? 1 : 0;
        _exit(failures == 0 ? 0 : 1);
      }
    }
    bool ok = true;
    for (pid_t child : children) {
      int status = 0;
      if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
          WEXITSTATUS(status) != 0) {
        ok = false;
      }
    }
    return ok;
  }

  /// Both children begin their commands only when both are running (at most 5 s).
  void start_together() const {
    std::ofstream(folder / ("ready." + std::to_string(getpid()))).put('x');
    for (int i = 0; i < 1000; ++i) {
      int ready = 0;
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("ready.", 0) == 0) ++ready;
      }
      if (ready >= 2) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  fs::path folder;
  OverlapDetectingBmc bmc{roots.base() / "bmc"};
};

TEST_F(IpmiMutexTest, CommandsOfTwoProcessesNeverOverlap) {
  ASSERT_TRUE(run_in_two_children([] {
    unsigned char revision[2] = {};
    return getBmcFwRevision(revision);
  }));
  EXPECT_FALSE(fs::exists(folder / "overlaps")) << read_text(folder / "overlaps");
}

// The detector itself: the exported transport takes no lock, so two processes
// using it directly are seen overlapping.
TEST_F(IpmiMutexTest, DetectorSeesUnserialisedCommandsOverlap) {
  ASSERT_TRUE(run_in_two_children([] {
    const unsigned char request[] = {0x18, 0x01};
    unsigned char response[32] = {};
    unsigned int received = 0;
    return ipmiAccess(0x810C2004u, request, 2, response, sizeof(response), &received, 0);
  }));
  EXPECT_TRUE(fs::exists(folder / "overlaps"));
}

}  // namespace
}  // namespace qma::test
