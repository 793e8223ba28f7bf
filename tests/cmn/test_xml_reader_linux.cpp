// The element-path reader on Linux: a link or a FIFO in the file's place is not read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cmn/xml_reader_fixture.h"
#include "common/cmn/qmcmn.h"
#include "support/temp_roots.h"

namespace {

using qma::test::XmlReader;

TEST_F(XmlReader, FifoInPlaceOfTheFileIsNeitherReadNorWaitedFor) {
  const char* path[] = {"a", nullptr};
  char out[8];
  const std::filesystem::path fifo = roots_.base() / "fifo.xml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(QMCmnXmlGetElementValue(fifo.c_str(), path, nullptr, nullptr, out, sizeof out), -1);
}

TEST_F(XmlReader, LinkInPlaceOfTheFileIsNotRead) {
  const char* path[] = {"a", nullptr};
  char out[8];
  const std::filesystem::path link = roots_.base() / "link.xml";
  std::filesystem::create_symlink(write("<a>x</a>"), link);
  EXPECT_EQ(QMCmnXmlGetElementValue(link.c_str(), path, nullptr, nullptr, out, sizeof out), -1);
}

}  // namespace
