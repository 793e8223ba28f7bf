// The file tests' fixture: a folder of their own in fresh temporary roots, and files written
// into it byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_roots.h"

namespace qma::test {

namespace fs = std::filesystem;

inline void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class FileTest : public ::testing::Test {
 protected:
  TempRoots roots_;
  fs::path dir_ = roots_.base() / "files";
  void SetUp() override { fs::create_directories(dir_); }
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
};

}  // namespace qma::test
