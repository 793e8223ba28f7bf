// The element-path reader on Linux: a FIFO in the file's place is neither read nor waited for.
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

}  // namespace
