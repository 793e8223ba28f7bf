// The file query exports on Linux: a missing file, a FIFO and a file past the bound in a
// result file's place are refused at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_roots.h"
#include "xmlsub/log_capture.h"
#include "xmlsub/qmagentsub.h"

namespace {

using qma::test::capture_log;
using qma::test::LogCapture;
using qma::test::path_text;
using Texts = std::vector<std::string>;

// A name path as the exports take it: the names, then an empty entry.
class Path {
 public:
  Path(std::initializer_list<const char*> names) : names_(names) { names_.push_back(""); }
  const char* const* get() const { return names_.data(); }

 private:
  std::vector<const char*> names_;
};

class FileQueries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { QMA_XML_InitParser(); }
  void SetUp() override { LogCapture::instance().clear(); }

  std::string write(const std::string& name, const std::string& content) {
    auto path = roots_.base() / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  static Texts logged() { return LogCapture::instance().texts(); }

  qma::test::TempRoots roots_;
};

TEST_F(FileQueries, FileThatCannotBeOpened) {
  const std::string missing = (roots_.base() / "absent" / "QuillInfo.xml").string();
  // A tool may leave a FIFO or a file past the bound (1 GB, sparse) in a result file's place:
  // both are refused at once, as a missing file is.
  const std::string fifo = (roots_.base() / "Update_normal.xml").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string huge = write("Get_ratio.xml", "<a><b>1</b></a>");
  std::filesystem::resize_file(huge, 1ULL << 30);
  const char* file = missing.c_str();
  const Path path{"a", "b"};
  char out[16];
  char other[16];
  int count = 1;
  const char* names[] = {""};
  struct Case {
    const char* name;
    std::function<int()> call;
    std::string log;
  };
  const std::vector<Case> cases = {
      {"check", [&] { return QMA_XML_CheckElementForFile(capture_log, file, path.get()); },
       "xmlReaderForFile() error!"},
      {"element_value",
       [&] { return QMA_XML_GetElementValueForFile(capture_log, file, path.get(), out, 16); },
       "xmlReaderForFile() error!"},
      {"attribute_value",
       [&] {
         return QMA_XML_GetAttributeValueForFile(capture_log, file, path.get(), "id", 1, out, 16);
       },
       "xmlReaderForFile() error!"},
      {"with_attr",
       [&] {
         return QMA_XML_GetElemValueForFile_WithAttr(capture_log, file, path.get(), path.get(),
                                                     "id", "1", out, 16);
       },
       "xmlReaderForFile() error!"},
      {"with_attrs",
       [&] {
         return QMA_XML_GetAttrValueForFile_WithAttrs(capture_log, file, path.get(), path.get(),
                                                      names, names, names, out, 16);
       },
       "xmlReaderForFile() error!"},
      {"status_message",
       [&] { return QMA_XML_GetStatusMsg(capture_log, file, "601", out, 16, other, 16); },
       "xmlReaderForFile() error!"},
      {"module_name",
       [&] { return QMA_XML_GetModuleName(capture_log, file, "module_name", out, 16, other, 16); },
       "xmlReaderForFile() error!!"},
      {"with_id",
       [&] {
         return QMA_XML_GetAttrValueForFile_WithID(capture_log, file, path.get(), path.get(), "id",
                                                   1, out, 16, &count);
       },
       "xmlReaderForFile() error! xmlFileName=[" + missing + "]"},
  };
  for (const std::string& target : {missing, fifo, huge}) {
    const std::string asked = target;
    file = asked.c_str();
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name + std::string(" ") + asked);
      LogCapture::instance().clear();
      EXPECT_EQ(c.call(), 0);
      // The list query names the file it could not open.
      const std::string log = c.log.ends_with("xmlFileName=[" + missing + "]")
                                  ? "xmlReaderForFile() error! xmlFileName=[" + asked + "]"
                                  : c.log;
      EXPECT_EQ(logged(), Texts{log});
    }
  }
}

}  // namespace
