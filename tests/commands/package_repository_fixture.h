// The package registration tests' fixture: an in-process agent serving its pipe with the zip
// launcher and archivers beside it, and a registration sent with an upload in its drop folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "manager_if/agent_harness.h"
#include "platform/process.h"

namespace qma::test {

namespace fs = std::filesystem;

inline constexpr const char* kModule = "01000000";

inline std::string answer_of(const std::string& id, const std::string& code,
                             const std::string& status) {
  return "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>" + id + "</InReplyTo><CommandCode>" +
         code + "</CommandCode><QMAData><Status>" + status + "</Status></QMAData></QMAMessage>";
}

class PackageRepository : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [from, name] : {std::pair{QMZIPCONTROL_PATH, "QMZipControl"},
                              std::pair{QMAZIP_PATH, "QMAzip"}, std::pair{QMAUNZ_PATH, "QMAunz"}}) {
      fs::copy_file(from, agent_.roots_.bin() / (std::string(name) + platform::kProgramExtension));
    }
    // Windows programs load their libraries from their own folder, as in an installation.
    for (const auto& entry : fs::directory_iterator(fs::path(QMAUNZ_PATH).parent_path())) {
      if (entry.path().extension() == ".dll") {
        fs::copy_file(entry.path(), agent_.roots_.bin() / entry.path().filename());
      }
    }
    fs::create_directories(drop_);
    agent_.start();
  }
  void TearDown() override { qma::test::unset_env("QMAUNZ_MAX_BYTES"); }

  /// Sends a registration whose request names `file_name` and whose frame attaches
  /// `attached` in the drop folder; returns the answer's text.
  std::string register_package(const std::string& file_name, const std::string& module = kModule,
                               std::string attached = "") {
    if (attached.empty()) attached = file_name;
    std::string data = "<FileName>" + file_name + "</FileName><ModuleID>" + module + "</ModuleID>";
    return answer_text(
        exchange(request_frame(request_xml("2", "R", "2.0", data), attached, drop_.string()))
            .answer);
  }

  fs::path root() const { return agent_.roots_.bin() / "QMA_PKGROOT"; }
  fs::path module() const { return root() / kModule; }

  qma::test::InProcessAgent agent_;
  fs::path drop_ = agent_.roots_.state() / "upload" / "drop";
};

}  // namespace qma::test
