// The element-path reader on Linux: a FIFO in the file's place is neither read nor waited for.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/cmn/qmcmn.h"
#include "support/temp_roots.h"

namespace {

class XmlReader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QMCmnLoadXmlLibrary(), 0); }

  std::string write(const std::string& content) {
    auto path = roots_.base() / "doc.xml";
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  qma::test::TempRoots roots_;
};

TEST_F(XmlReader, FifoInPlaceOfTheFileIsNeitherReadNorWaitedFor) {
  const char* path[] = {"a", nullptr};
  char out[8];
  const std::filesystem::path fifo = roots_.base() / "fifo.xml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(QMCmnXmlGetElementValue(fifo.c_str(), path, nullptr, nullptr, out, sizeof out), -1);
}

}  // namespace
