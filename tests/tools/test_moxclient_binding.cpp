// The agent binds libmoxclient.so by name and delivers a notice through the bound entries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/log/qma_log.h"
#include "common/qma_funcinit.h"
#include "manager_if/qma_moxclient.h"
#include "support/temp_roots.h"
#include "tools/http_receiver.h"
#include "xmlsub/qmagentsub.h"

namespace {

using qma::test::HttpReceiver;
using qma::test::ReceiverMode;

// The calling sequence of one completion notice, as the agent runs it.
int deliver(const QMA_MoxClientEntries& mox, bool plain, int port, const std::string& notice) {
  void* io = mox.create_mox_io_data(static_cast<int>(notice.size()), notice.data(), 0, 0);
  if (io == nullptr) return 0;
  void* reply = nullptr;
  QMA_MOX_SYNC_REQUEST send = plain ? mox.syncRequestForPlain : mox.syncRequest;
  int rc = send("127.0.0.1", port, "quillmend.manager", 180, io, &reply);
  mox.free_mox_io_data(io);
  if (reply != nullptr) mox.free_mox_io_data(reply);
  return rc;
}

TEST(MoxClientBindingTest, BoundByNameAndDeliversOverHttpAndHttps) {
  qma::test::TempRoots roots;
  qma::test::TestCertificate cert;
  ASSERT_TRUE(cert.make(roots.base(), "manager"));
  setenv("QMA_MOX_CAFILE", cert.cert.c_str(), 1);
  EXPECT_EQ(QMA_CMN_GetMoxClientEntries(), nullptr);
  ASSERT_EQ(QMA_CMN_LoadLibraryForMoxClient(), 1);
  const QMA_MoxClientEntries* mox = QMA_CMN_GetMoxClientEntries();
  ASSERT_NE(mox, nullptr);

  const std::string notice =
      "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>U-1</InReplyTo>"
      "<CommandCode>3</CommandCode></QMAMessage>";
  HttpReceiver plain(ReceiverMode::kAnswerOk);
  EXPECT_EQ(deliver(*mox, true, plain.port(), notice), 1);
  HttpReceiver secure(ReceiverMode::kAnswerOk, &cert);
  EXPECT_EQ(deliver(*mox, false, secure.port(), notice), 1);
  for (HttpReceiver* receiver : {&plain, &secure}) {
    auto got = receiver->requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].path, "/quillmend.manager");
    EXPECT_EQ(got[0].body, notice);
  }
  QMA_CMN_FreeLibraryForMoxClient();
  EXPECT_EQ(QMA_CMN_GetMoxClientEntries(), nullptr);
  unsetenv("QMA_MOX_CAFILE");
}

}  // namespace

namespace {

using qma::test::HttpReceiver;
using qma::test::ReceiverMode;

TEST(MoxClientBindingTest, NoticeTransportFollowsTheCommunicationServiceName) {
  qma::test::TempRoots roots;
  qma::test::TestCertificate cert;
  ASSERT_TRUE(cert.make(roots.base(), "manager"));
  setenv("QMA_MOX_CAFILE", cert.cert.c_str(), 1);
  g_QMAgentSub.QMA_XML_GetElementValueForFile = &QMA_XML_GetElementValueForFile;
  ASSERT_EQ(QMA_CMN_LoadLibraryForMoxClient(), 1);
  const std::string notice = "<QMAMessage MessageVersion=\"2.0\"></QMAMessage>";
  auto write_service = [&](const char* name) {
    std::ofstream(roots.bin() / "moxService.xml")
        << "<parameter><serviceName>" << name << "</serviceName></parameter>";
  };
  HttpReceiver plain(ReceiverMode::kAnswerOk);
  HttpReceiver secure(ReceiverMode::kAnswerOk, &cert);
  std::string plain_port = std::to_string(plain.port());
  std::string secure_port = std::to_string(secure.port());

  write_service("moxServicePlain");
  EXPECT_EQ(QMA_CMN_SendToMox("127.0.0.1", plain_port.c_str(), notice.data(),
                              static_cast<int>(notice.size())),
            1);
  write_service("moxService");
  EXPECT_EQ(QMA_CMN_SendToMox("127.0.0.1", secure_port.c_str(), notice.data(),
                              static_cast<int>(notice.size())),
            1);
  std::filesystem::remove(roots.bin() / "moxService.xml");  // unreadable: "moxService", HTTPS
  EXPECT_EQ(QMA_CMN_SendToMox("127.0.0.1", secure_port.c_str(), notice.data(),
                              static_cast<int>(notice.size())),
            1);
  EXPECT_EQ(QMA_CMN_SendToMox("127.0.0.1", plain_port.c_str(), notice.data(),
                              static_cast<int>(notice.size())),
            0)
      << "HTTPS to a plain receiver fails";
  // Without the installation root nothing is read, not even bin/moxService.xml of the working
  // folder: "moxService", HTTPS.
  write_service("moxServicePlain");
  const std::string home = roots.home().string();
  const std::filesystem::path working = std::filesystem::current_path();
  std::filesystem::current_path(roots.home());
  for (bool empty : {true, false}) {
    if (empty) {
      setenv("AXIS2C_HOME", "", 1);
    } else {
      unsetenv("AXIS2C_HOME");
    }
    EXPECT_EQ(QMA_CMN_SendToMox("127.0.0.1", secure_port.c_str(), notice.data(),
                                static_cast<int>(notice.size())),
              1)
        << (empty ? "empty" : "unset");
  }
  std::filesystem::current_path(working);
  setenv("AXIS2C_HOME", home.c_str(), 1);
  EXPECT_EQ(plain.requests().size(), 1u);
  EXPECT_EQ(secure.requests().size(), 4u);
  for (const auto& got : secure.requests()) EXPECT_EQ(got.body, notice);
  QMA_CMN_FreeLibraryForMoxClient();
  unsetenv("QMA_MOX_CAFILE");
}

}  // namespace
