// The element-path reader over the run-time bound XML reader library.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cmn/xml_reader_fixture.h"
#include "common/cmn/qmcmn.h"
#include "support/temp_roots.h"

namespace {

using qma::test::path_text;
using qma::test::XmlReader;

TEST_F(XmlReader, WalkingRules) {
  struct Case {
    const char* name;
    std::string xml;
    std::vector<const char*> path;  // ended by nullptr below
    const char* attr;
    const char* value;
    int result;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"blanks_kept", "<a><b> 5 </b></a>", {"a", "b"}, nullptr, nullptr, 0, " 5 "},
      {"later_parent_still_matches",
       "<r><a><c/></a><x><b>7</b></x></r>",
       {"r", "a", "b"},
       nullptr,
       nullptr,
       0,
       "7"},
      {"attribute_filter_skips_other_values",
       "<a><b id=\"1\">one</b><b id=\"2\">two</b></a>",
       {"a", "b"},
       "id",
       "2",
       0,
       "two"},
      {"attribute_filter_without_match",
       "<a><b id=\"1\">one</b></a>",
       {"a", "b"},
       "id",
       "3",
       -1,
       ""},
      {"empty_element_is_found_empty", "<a><b/><c>x</c></a>", {"a", "b"}, nullptr, nullptr, 0, ""},
      {"child_first_is_found_empty", "<a><b><c>x</c></b></a>", {"a", "b"}, nullptr, nullptr, 0, ""},
      {"missing_element", "<a><c>x</c></a>", {"a", "b"}, nullptr, nullptr, -1, ""},
      {"root_name_must_match", "<z><b>x</b></z>", {"a", "b"}, nullptr, nullptr, -1, ""},
      {"not_xml", "plain text", {"a"}, nullptr, nullptr, -1, ""},
      {"empty_path", "<a>x</a>", {}, nullptr, nullptr, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = write(c.xml);
    std::vector<const char*> path = c.path;
    path.push_back(nullptr);
    char out[16] = "untouched";
    EXPECT_EQ(QMCmnXmlGetElementValue(file.c_str(), path.data(), c.attr, c.value, out, sizeof out),
              c.result);
    if (c.result == 0) {
      EXPECT_EQ(std::string(out), c.text);
    }
  }
}

TEST_F(XmlReader, ValueIsCutToTheOutputSize) {
  const std::string long_text(2000, 'v');
  const std::string file = write("<a><b>" + long_text + "</b></a>");
  const char* path[] = {"a", "b", nullptr};
  char small[6];
  ASSERT_EQ(QMCmnXmlGetElementValue(file.c_str(), path, nullptr, nullptr, small, sizeof small), 0);
  EXPECT_EQ(std::string(small), "vvvvv");
  // Element values are read through a 1025-byte work buffer.
  std::vector<char> big(4096, '#');
  ASSERT_EQ(QMCmnXmlGetElementValue(file.c_str(), path, nullptr, nullptr, big.data(), big.size()),
            0);
  EXPECT_EQ(std::string(big.data()), long_text.substr(0, 1024));
}

TEST_F(XmlReader, FileNameIsFoundWithoutRegardToCase) {
  std::ofstream(roots_.base() / "qmagent.xml") << "<service><version>lower</version></service>";
  const std::string asked = (roots_.base() / "QMAgent.xml").string();
  const char* path[] = {"service", "version", nullptr};
  char out[16] = {};
  ASSERT_EQ(QMCmnXmlGetElementValue(asked.c_str(), path, nullptr, nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "lower");
  // The exact name wins over one that differs only in case.
  std::ofstream(asked) << "<service><version>exact</version></service>";
  ASSERT_EQ(QMCmnXmlGetElementValue(asked.c_str(), path, nullptr, nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "exact");
}

TEST_F(XmlReader, FailsWithoutTheFileOrTheLibrary) {
  const char* path[] = {"a", nullptr};
  char out[8];
  const std::string missing = (roots_.base() / "absent.xml").string();
  EXPECT_EQ(QMCmnXmlGetElementValue(missing.c_str(), path, nullptr, nullptr, out, sizeof out), -1);
  // A package may leave a file past the bound (or a link or a FIFO: test_xml_reader_linux.cpp):
  // none is read, none waits.
  const std::filesystem::path huge = roots_.base() / "huge.xml";
  std::ofstream(huge) << "<a>x</a>";
  std::filesystem::resize_file(huge, 1ULL << 30);
  EXPECT_EQ(
      QMCmnXmlGetElementValue(path_text(huge).c_str(), path, nullptr, nullptr, out, sizeof out),
      -1);

  const std::string file = write("<a>x</a>");
  // As the get-version tool ends: clean up the parser, then unload. The test program links the
  // reader library as well, so its state survives the unload and the reload below.
  xmlCleanupParser();
  ASSERT_EQ(QMCmnFreeXmlLibrary(), 0);
  EXPECT_EQ(QMCmnXmlGetElementValue(file.c_str(), path, nullptr, nullptr, out, sizeof out), -1);
  ASSERT_EQ(QMCmnLoadXmlLibrary(), 0);
  EXPECT_EQ(QMCmnXmlGetElementValue(file.c_str(), path, nullptr, nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "x");
}

}  // namespace
