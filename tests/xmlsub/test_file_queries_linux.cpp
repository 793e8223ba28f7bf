// The file query exports on Linux: a FIFO in a result file's place is refused at once, as a
// missing file is, and nothing waits on it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "xmlsub/file_queries_fixture.h"

namespace {

using qma::test::FileQueries;

TEST_F(FileQueries, FifoInPlaceOfAResultFileIsRefusedAtOnce) {
  const std::string fifo = (roots_.base() / "Update_normal.xml").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  expect_every_query_refuses({fifo});
}

}  // namespace
