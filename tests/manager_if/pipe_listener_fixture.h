// The worker thread tests' fixture: an in-process agent serving its real pipe, the exact
// agent-information answer, and checks that nothing is left counted and the agent still serves.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/host/qma_system.h"
#include "manager_if/agent_harness.h"
#include "platform/host.h"

namespace qma::test {

class PipeListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { agent_.start(); }

  std::string agent_information(const std::string& id, const std::string& code,
                                const std::string& status) {
    int os_type = 0;
    char os_name[260] = {};
    EXPECT_EQ(QMA_GetOSInfo(&os_type, os_name), 1);
    auto host = qma::platform::host_name();
    return "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>" + id + "</InReplyTo><CommandCode>" +
           code + "</CommandCode><QMAData><Status>" + status +
           "</Status><AgentStatus>normal</AgentStatus><AgentVersion>3.1</AgentVersion><HostName>" +
           host.value() +
           "</HostName><windows_os major=\"12\" minor=\"0\" sp_major=\"0\" sp_minor=\"0\" "
           "arch=\"x64\"><reference refid=\"0\"></reference><product_type>" +
           std::to_string(os_type) + "</product_type></windows_os><OSName>" + os_name +
           "</OSName><target_machine model_name=\"ServerModel X\"><n_code "
           "parent_n_code=\"AB-1234\"><child_n_code></child_n_code></n_code></target_machine>"
           "<Guid>33221100-5544-7766-8899-AABBCCDDEEFF</Guid><Serial>SN0042</Serial></QMAData>"
           "</QMAMessage>";
  }

  static size_t count_entries(const char* folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
  }

  void expect_no_entries() {
    int32_t counters[8];
    qma::manager_if::action_control_counters(counters);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(counters[i], 0) << "counter " << i;
  }

  // A fresh agent-information request must still be answered.
  void expect_still_serving(const std::string& after) {
    auto reply = exchange(request_frame(request_xml("0", "after")));
    EXPECT_NE(answer_text(reply.answer).find("<Status>600</Status>"), std::string::npos)
        << "no answer after " << after;
  }

  qma::test::InProcessAgent agent_;
};

}  // namespace qma::test
