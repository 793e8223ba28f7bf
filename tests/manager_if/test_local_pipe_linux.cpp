// The local pipe endpoint on Linux: its socket file, a stale socket, the socket path limit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/local_pipe.h"
#include "support/temp_roots.h"

namespace {

using qma::platform::connect_local_pipe;
using qma::platform::PipeConnection;
using qma::platform::PipeListener;

TEST(LocalPipeTest, EndpointIsASocketOnlyOwnerAndGroupMayOpen) {
  qma::test::TempRoots roots;
  auto listener = PipeListener::create("qmagentsvc");
  ASSERT_TRUE(listener.ok());
  std::string path = (roots.state() / "pipe" / "qmagentsvc").string();
  EXPECT_EQ(listener->path(), path);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  auto second = PipeListener::create("qmagentsvc");
  EXPECT_FALSE(second.ok()) << "a live endpoint is never taken over";
}

TEST(LocalPipeTest, StaleSocketOfAnEarlierRunIsReplaced) {
  qma::test::TempRoots roots;
  std::filesystem::create_directories(roots.state() / "pipe");
  std::string path = (roots.state() / "pipe" / "qmagentsvc").string();
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);  // bound, never listening: what a crashed agent leaves
  auto listener = PipeListener::create("qmagentsvc");
  EXPECT_TRUE(listener.ok()) << listener.error();
}

TEST(LocalPipeTest, PathsBeyondTheSocketLimitAreRefused) {
  qma::test::TempRoots roots;
  std::string deep = (roots.base() / std::string(110, 'x')).string();
  qma::test::set_env("QMA_STATE_DIR", deep.c_str());
  auto listener = PipeListener::create("qmagentsvc");
  ASSERT_FALSE(listener.ok());
  EXPECT_EQ(listener.error(), ENAMETOOLONG);
  EXPECT_FALSE(std::filesystem::exists(deep)) << "nothing is created for a refused path";
}

}  // namespace
