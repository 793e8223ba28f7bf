// Who may talk to the agent: the pipe is mode 0660 in the pipe group, each connection's
// credentials are checked, refusals are logged with uid and pid, and qmactl says plainly
// that it was refused. Real users made for the test run qmactl against a real agent.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "hardening/hardening_support.h"
#include "manager_if/agent_harness.h"
#include "platform/local_pipe.h"
#include "tools/zip_builder.h"

namespace {

namespace p = qma::platform;
using qma::test::run_program;
using qma::test::TestAccounts;

TEST(PipePeerPolicy, RootTheAgentsUserAndGroupMembersAreServed) {
  struct Row {
    const char* name;
    p::PipePeer peer;
    std::optional<uint32_t> group;
    bool allowed;
  };
  const uint32_t agent = 990;
  const Row rows[] = {
      {"root", {0, 0, 1, {}}, std::nullopt, true},
      {"the agent's own user", {agent, 990, 1, {}}, std::nullopt, true},
      {"primary group is the pipe group", {1000, 1234, 1, {}}, 1234u, true},
      {"supplementary group is the pipe group", {1000, 100, 1, {27, 1234}}, 1234u, true},
      {"other user, other groups", {1000, 100, 1, {27, 1235}}, 1234u, false},
      {"no pipe group on this system", {1000, 1234, 1, {1234}}, std::nullopt, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(p::pipe_peer_allowed(row.peer, agent, row.group), row.allowed) << row.name;
  }
}

TEST(PipePeerPolicy, GroupNameComesFromQmaPipeGroup) {
  unsetenv("QMA_PIPE_GROUP");
  EXPECT_EQ(p::pipe_group_name(), "qmagent");
  setenv("QMA_PIPE_GROUP", "", 1);
  EXPECT_EQ(p::pipe_group_name(), "qmagent");
  setenv("QMA_PIPE_GROUP", "wheel", 1);
  EXPECT_EQ(p::pipe_group_name(), "wheel");
  unsetenv("QMA_PIPE_GROUP");
}

class PipeAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(accounts_.ok());
    setenv("QMA_PIPE_GROUP", accounts_.group().c_str(), 1);
    qma::test::open_for_all(agent_.roots_.state(), agent_.roots_.base());
    agent_.start();
  }
  void TearDown() override {
    agent_.stop();
    unsetenv("QMA_PIPE_GROUP");
  }
  std::string refusal() const {
    return "permission denied: only root and members of group " + accounts_.group() +
           " may talk to the agent\n";
  }

  TestAccounts accounts_;
  qma::test::InProcessAgent agent_;
  std::string qmactl_ = qma::test::program_path("qmactl");
};

TEST_F(PipeAccessTest, SocketIsMode0660InThePipeGroup) {
  struct stat st {};
  ASSERT_EQ(::stat(p::local_pipe_path(QMA_PIPE_NAME).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  group* entry = ::getgrnam(accounts_.group().c_str());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(st.st_gid, entry->gr_gid);
}

TEST_F(PipeAccessTest, GroupMemberIsServedAndOutsiderIsToldPlainly) {
  auto member = run_program(TestAccounts::as_user(accounts_.member(), {qmactl_, "info"}));
  EXPECT_EQ(member.exit_code, 0) << member.err;
  EXPECT_NE(member.out.find("600"), std::string::npos) << member.out;

  auto outsider = run_program(TestAccounts::as_user(accounts_.outsider(), {qmactl_, "info"}));
  EXPECT_EQ(outsider.exit_code, 3);
  EXPECT_EQ(outsider.err, refusal());
  EXPECT_EQ(outsider.out, "");
}

// A member of the pipe's group registers a package with qmactl: the agent makes its upload
// folder the group's to drop into (mode 3770, so no member can remove or rename another's
// upload), and qmactl stages each request in a folder of its own there.
TEST_F(PipeAccessTest, GroupMemberRegistersAPackageWithQmactl) {
  namespace fs = std::filesystem;
  for (const char* tool : {"QMZipControl", "QMAunz"}) {
    fs::copy_file(qma::test::program_path(tool), agent_.roots_.bin() / tool);
  }
  const fs::path uploads = agent_.roots_.state() / "upload";
  struct stat st {};
  ASSERT_EQ(::stat(uploads.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 03770u);
  group* entry = ::getgrnam(accounts_.group().c_str());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(st.st_gid, entry->gr_gid);

  const fs::path archive = agent_.roots_.base() / "pkg.zip";
  ASSERT_TRUE(qma::test::write_zip(archive, {{"QuillInfo.xml", "<quillmend_package/>"}}));
  auto member = run_program(TestAccounts::as_user(
      accounts_.member(), {qmactl_, "register", "01000000", archive.string()}));
  EXPECT_EQ(member.exit_code, 0) << member.out << member.err;
  EXPECT_NE(member.out.find("Status: 600\n"), std::string::npos) << member.out;
  const fs::path module = agent_.roots_.bin() / "QMA_PKGROOT" / "01000000";
  EXPECT_TRUE(fs::exists(module / "QuillInfo.xml"));
  EXPECT_TRUE(fs::is_empty(uploads)) << "qmactl removes its staging folder";

  // An outsider gets no say in the folder.
  auto outsider = run_program(TestAccounts::as_user(
      accounts_.outsider(), {qmactl_, "register", "01000000", archive.string()}));
  EXPECT_NE(outsider.exit_code, 0);
  EXPECT_TRUE(fs::is_empty(uploads));
}

// A process that can open the socket file anyway (here an outsider holding the
// capability to override file permissions) is still refused by its credentials.
TEST_F(PipeAccessTest, OutsiderPastTheFileModeIsRefusedByCredentialsAndLoggedOnce) {
  std::vector<std::string> command = {
      "setpriv",
      "--reuid=" + accounts_.outsider(),
      "--regid=" + TestAccounts::primary_group(accounts_.outsider()),
      "--clear-groups",
      "--inh-caps=+dac_override",
      "--ambient-caps=+dac_override",
      qmactl_,
      "info"};
  auto outsider = run_program(command);
  EXPECT_EQ(outsider.exit_code, 3);
  EXPECT_EQ(outsider.err, refusal());
  std::string uid = run_program({"id", "-u", accounts_.outsider()}).out;
  uid = uid.substr(0, uid.find('\n'));
  std::string line = "Pipe client refused! uid=[" + uid + "] pid=[" + std::to_string(outsider.pid) +
                     "]: only root and members of group " + accounts_.group() +
                     " may talk to the agent";
  EXPECT_EQ(agent_.count_in_log(line), 1) << agent_.log();
  EXPECT_EQ(agent_.count_in_log("Arrival of the pipe was detected"), 0)
      << "a refused client never reaches the request path";
  // Root is served as before.
  auto root = run_program({qmactl_, "info"});
  EXPECT_EQ(root.exit_code, 0) << root.err;
}

}  // namespace
