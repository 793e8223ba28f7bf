// The file query exports' test fixture: documents written into temporary roots, and the
// queries' answer to a file they cannot open.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_roots.h"
#include "xmlsub/log_capture.h"
#include "xmlsub/qmagentsub.h"

namespace qma::test {

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

  /// Every file query asked for each target fails at once, with its own log line; the list
  /// query names the file it could not open.
  static void expect_every_query_refuses(const std::vector<std::string>& targets) {
    const char* file = nullptr;
    const Path path{"a", "b"};
    char out[16];
    char other[16];
    int count = 1;
    const char* names[] = {""};
    struct Case {
      const char* name;
      std::function<int()> call;
      const char* log;  // nullptr: the list query's line, which names the file
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
         [&] {
           return QMA_XML_GetModuleName(capture_log, file, "module_name", out, 16, other, 16);
         },
         "xmlReaderForFile() error!!"},
        {"with_id",
         [&] {
           return QMA_XML_GetAttrValueForFile_WithID(capture_log, file, path.get(), path.get(),
                                                     "id", 1, out, 16, &count);
         },
         nullptr},
    };
    for (const std::string& asked : targets) {
      file = asked.c_str();
      for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::string(" ") + asked);
        LogCapture::instance().clear();
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(logged(), Texts{c.log != nullptr
                                      ? std::string(c.log)
                                      : "xmlReaderForFile() error! xmlFileName=[" + asked + "]"});
      }
    }
  }

  qma::test::TempRoots roots_;
};

}  // namespace qma::test
