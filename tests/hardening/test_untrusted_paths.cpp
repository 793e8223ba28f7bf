// Paths a request carries are untrusted: module ids that are not plain names are refused
// for every command, and an upload is deleted or moved only when it is a regular file
// reached without following a link in its last component.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "manager_if/agent_harness.h"
#include "platform/file.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;
using qma::test::answer_text;
using qma::test::exchange;
using qma::test::read_text;
using qma::test::request_frame;
using qma::test::request_xml;

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(PlainName, OnlyOneFolderEntryPasses) {
  for (const char* good : {"01000000", "pkg.zip", "...", "a..b", ".hidden", "-", "a b"}) {
    EXPECT_TRUE(p::is_plain_name(good)) << good;
  }
  for (const char* bad : {"", ".", "..", "a/b", "/etc", "../x", "a\\b", "..\\x", "0100000/"}) {
    EXPECT_FALSE(p::is_plain_name(bad)) << bad;
  }
  EXPECT_FALSE(p::is_plain_name(std::string("ab\0cd", 5)));
}

// A secret file of root's in a 0700 folder, beside a folder where uploads land.
class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(secret_dir_);
    ::chmod(secret_dir_.c_str(), 0700);
    write(secret_, "secret");
    ::chmod(secret_.c_str(), 0600);
    fs::create_directories(drop_);
    fs::create_directories(target_);
  }
  qma::test::TempRoots roots_;
  fs::path secret_dir_ = roots_.base() / "root-only";
  fs::path secret_ = secret_dir_ / "shadow";
  fs::path drop_ = roots_.base() / "drop";
  fs::path target_ = roots_.base() / "module";
};

TEST_F(UploadTest, OnlyARegularFileInTheNamedFolderIsActedOn) {
  fs::create_symlink(secret_, drop_ / "link.zip");
  fs::create_symlink(secret_dir_, drop_ / "dirlink");
  fs::create_directories(drop_ / "folder.zip");
  ASSERT_EQ(::mkfifo((drop_ / "fifo.zip").c_str(), 0600), 0);
  struct Row {
    const char* name;
    int error;
  };
  const Row refused[] = {
      {"link.zip", ELOOP},
      {"dirlink", ELOOP},
      {"folder.zip", EPERM},
      {"fifo.zip", EPERM},
      {"../root-only/shadow", EINVAL},
      {"..", EINVAL},
      {".", EINVAL},
      {"a\\b", EINVAL},
      {"", EINVAL},
      {"absent.zip", ENOENT},
  };
  for (auto action : {p::UploadAction::kDelete, p::UploadAction::kMove}) {
    for (const Row& row : refused) {
      auto result = p::act_on_upload(drop_.string(), row.name, action, target_.string());
      EXPECT_FALSE(result.ok()) << row.name;
      EXPECT_EQ(result.error(), row.error) << row.name;
    }
  }
  EXPECT_EQ(read_text(secret_), "secret");
  EXPECT_TRUE(fs::is_symlink(drop_ / "link.zip")) << "a refused link is left alone";
  EXPECT_TRUE(fs::is_symlink(drop_ / "dirlink"));
  EXPECT_TRUE(fs::is_directory(drop_ / "folder.zip"));
  EXPECT_TRUE(fs::is_empty(target_)) << "nothing was moved";
  // Deleting the secret through its own folder still works: the rule is about the
  // entry, not about who owns it (the pipe decides who may ask).
  EXPECT_TRUE(p::act_on_upload(secret_dir_.string(), "shadow", p::UploadAction::kDelete).ok());
  EXPECT_FALSE(fs::exists(secret_));
}

TEST_F(UploadTest, RegularUploadIsMovedOrDeletedAndTheFolderMayBeALink) {
  write(drop_ / "Pkg.zip", "zip-1");
  fs::create_symlink(drop_, roots_.base() / "drop-link");
  // A name that differs only in case finds the file; the move keeps the name asked for.
  ASSERT_TRUE(p::act_on_upload((roots_.base() / "drop-link").string(), "pkg.zip",
                               p::UploadAction::kMove, target_.string())
                  .ok());
  EXPECT_EQ(read_text(target_ / "pkg.zip"), "zip-1");
  EXPECT_FALSE(fs::exists(drop_ / "Pkg.zip"));
  // An existing target is never replaced.
  write(drop_ / "pkg.zip", "zip-2");
  auto again =
      p::act_on_upload(drop_.string(), "pkg.zip", p::UploadAction::kMove, target_.string());
  EXPECT_EQ(again.error(), EEXIST);
  EXPECT_EQ(read_text(target_ / "pkg.zip"), "zip-1");
  ASSERT_TRUE(p::act_on_upload(drop_.string(), "pkg.zip", p::UploadAction::kDelete).ok());
  EXPECT_FALSE(fs::exists(drop_ / "pkg.zip"));
}

// The agent's worker thread in this process, serving its real socket.
class AgentPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(drop_);
    fs::create_directories(agent_.roots_.base() / "victim");
    write(victim_, "keep me");
    agent_.start();
  }
  std::string ask(const std::string& code, const std::string& id, const std::string& data,
                  const std::string& file = "", const std::string& dir = "") {
    return answer_text(
        exchange(request_frame(request_xml(code, id, "2.0", data), file, dir)).answer);
  }
  qma::test::InProcessAgent agent_;
  fs::path drop_ = agent_.roots_.state() / "upload" / "drop";
  fs::path victim_ = agent_.roots_.base() / "victim" / "victim.txt";
};

TEST_F(AgentPathsTest, ModuleIdThatIsNotAPlainNameIsRefusedForEveryCommand) {
  const fs::path packages = agent_.roots_.bin() / "QMA_PKGROOT";
  write(packages / "sentinel", "pkg root");
  write(agent_.roots_.bin() / "sentinel", "bin");
  const char* hostile[] = {"..",   ".",        "../../victim", "0100/../x",
                           "a\\b", "0100000/", "/etc",         "..\\..\\x"};
  int requests = 0;
  for (const char* id : hostile) {
    std::string module = std::string("<ModuleID>") + id + "</ModuleID>";
    // Registration: the upload goes, as for an id of the wrong length.
    write(drop_ / "pkg.zip", "zip");
    std::string text =
        ask("2", "R", "<FileName>pkg.zip</FileName>" + module, "pkg.zip", drop_.string());
    EXPECT_EQ(text,
              "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>R</InReplyTo><CommandCode>2"
              "</CommandCode><QMAData><Status>900</Status></QMAData></QMAMessage>")
        << id;
    EXPECT_FALSE(fs::exists(drop_ / "pkg.zip")) << id;
    // Update and progress are refused before any tool could be looked for.
    text = ask("3", "U",
               module +
                   "<PackageID>p</PackageID><Mode>update_normal</Mode>"
                   "<ReplyToAddress>127.0.0.1</ReplyToAddress><ReplyToPort>1"
                   "</ReplyToPort>");
    EXPECT_NE(text.find("<InReplyTo>U</InReplyTo><CommandCode>3</CommandCode><QMAData><Status>"
                        "900</Status>"),
              std::string::npos)
        << id << ": " << text;
    text = ask("4", "G", module);
    EXPECT_NE(text.find("<InReplyTo>G</InReplyTo><CommandCode>4</CommandCode><QMAData><Status>"
                        "900</Status>"),
              std::string::npos)
        << id << ": " << text;
    requests += 3;
  }
  EXPECT_EQ(agent_.count_in_log("Module ID is not a plain name."), requests);
  EXPECT_EQ(agent_.count_in_log("Start QMA_RepositoryForUpdatePKG()") +
                agent_.count_in_log("Start QMA_ExecuteForUpdateCommand()"),
            0)
      << "no command handler saw a hostile id";
  EXPECT_EQ(read_text(victim_), "keep me");
  EXPECT_EQ(read_text(packages / "sentinel"), "pkg root");
  EXPECT_EQ(read_text(agent_.roots_.bin() / "sentinel"), "bin");
  // A plain id still reaches its command.
  ask("4", "G", "<ModuleID>01000000</ModuleID>");
  EXPECT_EQ(agent_.count_in_log("Start QMA_ExecuteForUpdateCommand()"), 1);
}

TEST_F(AgentPathsTest, DisabledAgentDeletesOnlyARegularUploadInTheNamedFolder) {
  g_QMAConfig.AgentEffect = 0;
  fs::create_symlink(victim_, drop_ / "link.zip");
  write(drop_ / "pkg.zip", "zip");
  const std::string data = "<FileName>x</FileName><ModuleID>01000000</ModuleID>";
  struct Row {
    const char* file;
    std::string dir;
  };
  const Row rows[] = {
      {"link.zip", drop_.string()},               // a link to someone else's file
      {"../victim/victim.txt", drop_.string()},   // a name that climbs out
      {"victim", agent_.roots_.base().string()},  // a folder
      {"pkg.zip", drop_.string()},                // the one that goes
  };
  for (const Row& row : rows) {
    std::string text = ask("2", "D", data, row.file, row.dir);
    EXPECT_NE(text.find("<Status>900</Status>"), std::string::npos) << row.file;
  }
  EXPECT_EQ(read_text(victim_), "keep me");
  EXPECT_TRUE(fs::is_symlink(drop_ / "link.zip"));
  EXPECT_TRUE(fs::is_directory(agent_.roots_.base() / "victim"));
  EXPECT_FALSE(fs::exists(drop_ / "pkg.zip"));
  EXPECT_EQ(agent_.count_in_log("Upload not deleted."), 3);
}

}  // namespace
