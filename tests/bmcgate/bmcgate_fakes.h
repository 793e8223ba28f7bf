// Stand-ins for the host, the BMC and time, installed into BmcGate for one test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bmcgate/bmcgate.h"
#include "bmcgate/bmcgate_seams.h"
#include "common/cmn/qmcmn.h"
#include "platform/registry.h"
#include "support/temp_roots.h"

namespace qma::test {

/// Records every pause instead of sleeping.
class CountingSleeper : public platform::Sleeper {
 public:
  void sleep(uint32_t ms) override { pauses.push_back(ms); }
  std::vector<uint32_t> pauses;
};

/// Answers each class query from a table; unknown classes have no objects.
class TableProvider : public bmcgate::InventoryProvider {
 public:
  bmcgate::QueryOutcome query(std::string_view wmi_class) override {
    ++queries;
    auto found = classes.find(std::string(wmi_class));
    return found == classes.end() ? bmcgate::QueryOutcome{} : found->second;
  }
  /// One object of a class with one property.
  void set(const std::string& wmi_class, const std::string& property,
           bmcgate::PropertyValue value) {
    bmcgate::InventoryObject object;
    object.emplace(property, std::move(value));
    classes[wmi_class].objects = {object};
  }
  std::map<std::string, bmcgate::QueryOutcome> classes;
  int queries = 0;
};

/// A BMC behind the driver device: answers each request with the next scripted
/// reply (the last one repeats); an empty reply is a failed exchange.
class FakeBmc : public platform::IpmiDriver {
 public:
  class Device : public platform::IpmiDevice {
   public:
    explicit Device(FakeBmc* bmc) : bmc_(bmc) {}
    platform::Result<size_t> exchange(const uint8_t* request, size_t request_len, uint8_t* response,
                                      size_t response_size, uint32_t wait_ms) override {
      bmc_->requests.emplace_back(request, request + request_len);
      bmc_->waits.push_back(wait_ms);
      std::vector<uint8_t> reply =
          bmc_->replies.empty() ? std::vector<uint8_t>{} : bmc_->replies.front();
      if (bmc_->replies.size() > 1) bmc_->replies.pop_front();
      if (reply.empty()) return platform::Result<size_t>::failure(110);
      const size_t count = std::min(reply.size(), response_size);
      std::copy(reply.begin(), reply.begin() + static_cast<long>(count), response);
      return count;
    }

   private:
    FakeBmc* bmc_;
  };

  platform::Result<std::unique_ptr<platform::IpmiDevice>> open() override {
    ++opens;
    if (failed_opens_left > 0 || absent) {
      --failed_opens_left;
      return platform::Result<std::unique_ptr<platform::IpmiDevice>>::failure(2);
    }
    return std::unique_ptr<platform::IpmiDevice>(std::make_unique<Device>(this));
  }

  bool absent = false;
  int failed_opens_left = 0;
  int opens = 0;
  std::deque<std::vector<uint8_t>> replies;
  std::vector<std::vector<uint8_t>> requests;
  std::vector<uint32_t> waits;
};

/// A Get Device ID reply: header, completion code, 11 data bytes (14 in all)
/// plus one auxiliary byte, with the two firmware revision bytes given.
inline std::vector<uint8_t> device_id_reply(uint8_t rev1, uint8_t rev2, uint8_t completion = 0) {
  return {0x18, 0x01, completion, 0x20, 0x81, rev1, rev2, 0x02,
          0xBF, 0x80, 0x28,       0x00, 0x37, 0x12, 0x00};
}

/// Fresh roots, a counting sleeper and a fresh library state for each test; the
/// seams a test installs are removed again afterwards.
class BmcGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bmcgate::reset_process_state();
    bmcgate::set_sleeper(&sleeper);
  }
  void TearDown() override {
    bmcgate::set_sleeper(nullptr);
    bmcgate::set_inventory_provider(nullptr);
    bmcgate::set_ipmi_driver(nullptr);
    bmcgate::set_ipmi_wmi_provider(nullptr);
    bmcgate::reset_process_state();
  }
  /// The machine environment that init copies into the process: this process's
  /// PATH and the test's installation root.
  void write_machine_environment() const {
    platform::RegistryKey key;
    ASSERT_EQ(platform::reg_create_key(kQMCmnEnvironmentKey, key), 0);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
    const std::string home = roots.home().string();
    ASSERT_EQ(platform::reg_set_value(key, "Path", platform::kRegExpandSz, path.c_str(),
                                      static_cast<uint32_t>(path.size() + 1)),
              0);
    ASSERT_EQ(platform::reg_set_value(key, "AXIS2C_HOME", platform::kRegSz, home.c_str(),
                                      static_cast<uint32_t>(home.size() + 1)),
              0);
  }
  std::string library_log() const { return read_text(roots.bin() / "BmcGate.log"); }
  static int count_of(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
      ++count;
    }
    return count;
  }

  TempRoots roots;
  CountingSleeper sleeper;
};

}  // namespace qma::test
