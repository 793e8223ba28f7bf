// QMAGetVersion run as the agent runs it: a real process in a module folder of temporary roots.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/program_run.h"
#include "platform/registry.h"
#include "support/temp_roots.h"

namespace {

namespace fs = std::filesystem;
namespace p = qma::platform;

constexpr const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5D2E8C41-7A36-4F1B-9C07-3E6B1A94D2F8}";
const std::string kHead = "<?xml version='1.0' encoding='UTF-8'?><Response><result_code>";

std::string success(const std::string& compare, const std::string& version) {
  return kHead + "OK</result_code><data><cmp>" + compare + "</cmp><version>" + version +
         "</version></data></Response>";
}
const std::string kFailure = kHead + "QMAWGetv01</result_code><data></data></Response>";

class GetVersionTool : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = roots_.bin() / "QMA_PKGROOT" / "02000000";
    fs::create_directories(module_);
    fs::create_directories(roots_.bin() / "AgentFolder" / "QMAgent");
  }

  void package_version(const std::string& version) {
    std::ofstream(module_ / "QuillInfo.xml")
        << "<?xml version=\"1.0\"?>\n<quillmend_package><module_id>02000000</module_id>"
        << "<version>" << version << "</version></quillmend_package>\n";
  }
  void installed_version(const std::string& version) {
    std::ofstream(roots_.bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml")
        << "<?xml version=\"1.0\"?>\n<service><name>QMAgent</name><version>" << version
        << "</version></service>\n";
  }
  static void uninstall_record(uint32_t type, const std::string& version) {
    p::RegistryKey key;
    ASSERT_EQ(p::reg_create_key(kUninstallKey, key), 0);
    ASSERT_EQ(p::reg_set_value(key, "DisplayVersion", type, version.c_str(),
                               static_cast<uint32_t>(version.size() + 1)),
              0);
  }

  // Runs the tool with the module folder as its current folder; its exit status.
  int run() {
    auto ran =
        p::run_program(QMA_GETVERSION_PATH, {"QMAGetVersion"}, qma::test::path_text(module_));
    EXPECT_TRUE(ran.ok()) << "QMAGetVersion did not start: " << ran.error();
    return ran.ok() ? static_cast<int>(ran.value()) : -1;
  }
  std::string result() const { return qma::test::read_text(module_ / "Get_version.xml"); }

  qma::test::TempRoots roots_;
  fs::path module_;
};

TEST_F(GetVersionTool, ComparesPackageWithInstalledVersion) {
  struct Row {
    const char* package;
    const char* installed;
    const char* compare;
  };
  const Row rows[] = {
      {"2.10", "2.9", "Lower"},    // later groups digit by digit
      {"10.0", "9.9", "Upper"},    // the first group as a number
      {"1.2.0.0", "1.2", "Even"},  // extra groups of zeros count for nothing
      {"1.2", "1.20", "Even"},
      {"1.05", "1.5", "Lower"},
      {"3.9", "3.19", "Upper"},
      {"3.1.0", "3.1.0", "Even"},
      {"3.1.1", "3.1.0", "Upper"},
      {"3.1", "3.1.0.1", "Lower"},
      {"007.1", "7.1", "Even"},
      {"v2.0", "1.9", "Lower"},  // no leading digit counts as the number 0
      {"v2.0", "v1.9", "Upper"},
      {"1-2_3", "1.2.3", "Even"},
      {"123456789012345678901234567890.1", "123456789012345678901234567891.0", "Lower"},
  };
  for (const Row& row : rows) {
    package_version(row.package);
    installed_version(row.installed);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(result(), success(row.compare, row.installed))
        << row.package << " against " << row.installed;
  }
}

TEST_F(GetVersionTool, InstalledVersionFromTheAgentDescriptorBeforeTheUninstallRecord) {
  package_version("3.1.0");
  uninstall_record(p::kRegSz, "2.0");
  installed_version("3.2");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), success("Lower", "3.2"));

  // Without the agent descriptor the installer's record is read, references expanded.
  fs::remove(roots_.bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml");
  qma::test::set_env("QMA_TEST_AGENT_RELEASE", "3.0.9");
  uninstall_record(p::kRegExpandSz, "%QMA_TEST_AGENT_RELEASE%");
  EXPECT_EQ(run(), 0);
  qma::test::unset_env("QMA_TEST_AGENT_RELEASE");
  EXPECT_EQ(result(), success("Upper", "3.0.9"));

  // An agent descriptor without a version element falls back as well.
  std::ofstream(roots_.bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml") << "<service/>";
  uninstall_record(p::kRegSz, "3.1.0");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), success("Even", "3.1.0"));
}

TEST_F(GetVersionTool, FailuresWriteTheErrorCodeWithAnEmptyDataElement) {
  // No descriptor at all.
  installed_version("3.1.0");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kFailure);

  // A descriptor that is not XML, then one without a version.
  std::ofstream(module_ / "QuillInfo.xml") << "<quillmend_package><version>3.1";
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kFailure);
  std::ofstream(module_ / "QuillInfo.xml") << "<quillmend_package><module_id>1</module_id>"
                                              "</quillmend_package>";
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kFailure);

  // A package version, but no installed version anywhere (and no AXIS2C_HOME).
  package_version("3.1.0");
  fs::remove(roots_.bin() / "AgentFolder" / "QMAgent" / "QMAgent.xml");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kFailure);
  std::string home = std::getenv("AXIS2C_HOME");
  qma::test::unset_env("AXIS2C_HOME");
  EXPECT_EQ(run(), 0);
  qma::test::set_env("AXIS2C_HOME", qma::test::path_text(home));
  EXPECT_EQ(result(), kFailure);
}

TEST_F(GetVersionTool, ResultThatCannotBeWrittenLeavesTheExitCodeAtZero) {
  package_version("3.1.0");
  installed_version("3.1.0");
  // A folder in the result file's place cannot be opened for writing, even by root.
  fs::create_directory(module_ / "Get_version.xml");
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(fs::is_directory(module_ / "Get_version.xml"));
}

}  // namespace
