// The file query exports over small documents written by the tests. A FIFO in a result
// file's place is tried in test_file_queries_linux.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "xmlsub/file_queries_fixture.h"
#include "xmlsub/log_capture.h"
#include "xmlsub/qmagentsub.h"

namespace {

using qma::test::capture_log;
using qma::test::FileQueries;
using qma::test::LogCapture;
using qma::test::Path;
using qma::test::path_text;
using Texts = std::vector<std::string>;

TEST_F(FileQueries, ElementValue) {
  struct Case {
    const char* name;
    std::string xml;
    Path path;
    int size;
    int result;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"blanks_around_the_text_are_kept", "<a><b> 5 </b></a>", {"a", "b"}, 64, 1, " 5 "},
      {"later_parent_still_matches",
       "<r><a><c>1</c></a><z><b>7</b></z></r>",
       {"r", "a", "b"},
       64,
       1,
       "7"},
      {"deeper_element_of_same_name_is_skipped",
       "<a><x><b>1</b></x><b>2</b></a>",
       {"a", "b"},
       64,
       1,
       "2"},
      {"empty_element_gives_empty_value", "<a><b/><c>x</c></a>", {"a", "b"}, 64, 1, ""},
      {"empty_tag_takes_the_following_text", "<a><b/>tail</a>", {"a", "b"}, 64, 1, "tail"},
      {"child_element_first_gives_empty_value", "<a><b><c>x</c></b></a>", {"a", "b"}, 64, 1, ""},
      {"comment_first_gives_empty_value", "<a><b><!--c-->x</b></a>", {"a", "b"}, 64, 1, ""},
      {"cdata_gives_empty_value", "<a><b><![CDATA[x]]></b></a>", {"a", "b"}, 64, 1, ""},
      {"only_first_text_node_counts", "<a><b>one<i/>two</b></a>", {"a", "b"}, 64, 1, "one"},
      {"value_cut_to_size_minus_one", "<a><b>123456789</b></a>", {"a", "b"}, 5, 1, "1234"},
      {"names_compare_with_case", "<a><B>1</B></a>", {"a", "b"}, 64, 0, ""},
      {"missing_element", "<a><c>1</c></a>", {"a", "b"}, 64, 0, ""},
      {"empty_root_has_no_next_node", "<a/>", {"a"}, 64, 0, ""},
      {"not_xml", "just text", {"a"}, 64, 0, ""},
      {"empty_file", "", {"a"}, 64, 0, ""},
      {"qualified_names_compare_whole",
       "<p:a xmlns:p=\"u\"><p:b>q</p:b></p:a>",
       {"p:a", "p:b"},
       64,
       1,
       "q"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    const std::string file = write("value.xml", c.xml);
    char out[64];
    std::memset(out, '#', sizeof out);
    out[sizeof out - 1] = '\0';
    EXPECT_EQ(QMA_XML_GetElementValueForFile(capture_log, file.c_str(), c.path.get(), out, c.size),
              c.result);
    if (c.result == 1) {
      EXPECT_EQ(std::string(out), c.value);
      EXPECT_TRUE(logged().empty());
    } else {
      EXPECT_EQ(logged(), Texts{"QMA_xml_GetElementValue() error!"});
    }
  }
}

TEST_F(FileQueries, CheckElement) {
  const std::string file = write(
      "Get_version.xml", "<Response><data><version>1</version></data><extension/></Response>");
  EXPECT_EQ(
      QMA_XML_CheckElementForFile(capture_log, file.c_str(), Path{"Response", "extension"}.get()),
      1);
  EXPECT_EQ(
      QMA_XML_CheckElementForFile(capture_log, file.c_str(), Path{"Response", "option"}.get()), 0);
  EXPECT_EQ(QMA_XML_CheckElementForFile(capture_log, file.c_str(), Path{"version"}.get()), 0);
  // Absence is not logged.
  EXPECT_TRUE(logged().empty());
}

TEST_F(FileQueries, AttributeValue) {
  const std::string file = write("attrs.xml",
                                 "<r><e/><e id=\"first\"/><x><e id=\"deep\"/></x><e id=\"\"/>"
                                 "<e id=\"second-very-long\"/></r>");
  struct Case {
    const char* name;
    Path path;
    const char* attr;
    int occurrence;
    int size;
    int result;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"first_element_with_the_attribute", {"r", "e"}, "id", 1, 64, 1, "first"},
      {"elements_without_it_are_not_counted", {"r", "e"}, "id", 2, 64, 1, ""},
      {"third_occurrence", {"r", "e"}, "id", 3, 64, 1, "second-very-long"},
      {"value_cut_to_size_minus_one", {"r", "e"}, "id", 3, 7, 1, "second"},
      {"past_the_last_occurrence", {"r", "e"}, "id", 4, 64, 0, ""},
      {"occurrence_zero_never_matches", {"r", "e"}, "id", 0, 64, 0, ""},
      {"unknown_attribute", {"r", "e"}, "name", 1, 64, 0, ""},
      {"no_attribute_name", {"r", "e"}, nullptr, 1, 64, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    char out[64] = "untouched";
    EXPECT_EQ(QMA_XML_GetAttributeValueForFile(capture_log, file.c_str(), c.path.get(), c.attr,
                                               c.occurrence, out, c.size),
              c.result);
    if (c.result == 1) {
      EXPECT_EQ(std::string(out), c.value);
      EXPECT_TRUE(logged().empty());
    } else {
      EXPECT_EQ(logged(), Texts{"QMA_xml_GetAttributeValue() error!"});
    }
  }
}

// A descriptor in the shape the agent reads: option versions selected by attribute, OS entries
// selected by patterns.
const char* kDescriptor = R"(<?xml version="1.0" encoding="UTF-8"?>
<quillmend_package>
  <module_id>00120000</module_id>
  <module_name lang="ja">JA-NAME</module_name>
  <module_name lang="en">Module name</module_name>
  <module_name_with_id lang="en">only english</module_name_with_id>
  <versions>
    <option id="A"><version>1.1</version></option>
    <option id="B"><version></version></option>
    <option id="C"><note>n</note></option>
    <other><version>9.9</version></other>
  </versions>
  <os_list>
    <os major="5" minor="*" arch="x86"><command exe="old.exe"/></os>
    <os major="6.*" minor="1" arch="x64"><command/><command exe="new.exe"/></os>
    <os major="*" arch="x64"><command exe="any.exe"/></os>
  </os_list>
  <output_messages>
    <message_list status_code="601">
      <message lang="ja">JA-601</message>
      <message lang="en">EN-601</message>
    </message_list>
    <message_list status_code="771">
      <message lang="en">EN-771</message>
    </message_list>
    <message_list status_code="772">
      <message lang="ja">JA-772</message>
      <message lang="en">EN-772</message>
    </message_list>
    <message_list status_code="773">
      <message lang="ja"></message>
      <message lang="en">EN-773</message>
    </message_list>
  </output_messages>
</quillmend_package>
)";

TEST_F(FileQueries, ElementValueSelectedByAttribute) {
  const std::string file = write("QuillInfo.xml", kDescriptor);
  struct Case {
    const char* name;
    Path select;
    Path value;
    const char* attr;
    const char* attr_value;
    int result;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"selected_option_version",
       {"quillmend_package", "versions", "option"},
       {"quillmend_package", "versions", "option", "version"},
       "id",
       "A",
       1,
       "1.1"},
      {"entries_up_to_the_selecting_level_are_not_looked_at",
       {"quillmend_package", "versions", "option"},
       {"", "", "", "version"},
       "id",
       "A",
       1,
       "1.1"},
      {"empty_value_element_is_a_failure",
       {"quillmend_package", "versions", "option"},
       {"quillmend_package", "versions", "option", "version"},
       "id",
       "B",
       0,
       ""},
      // The option C has no version; the level never goes back up, so the scan goes on at the
      // value depth and finds the version under the next parent.
      {"value_under_a_later_parent",
       {"quillmend_package", "versions", "option"},
       {"quillmend_package", "versions", "option", "version"},
       "id",
       "C",
       1,
       "9.9"},
      {"no_option_with_that_id",
       {"quillmend_package", "versions", "option"},
       {"quillmend_package", "versions", "option", "version"},
       "id",
       "Z",
       0,
       ""},
      {"without_attribute_the_selecting_path_names_the_value",
       {"quillmend_package", "module_id"},
       {"unused"},
       nullptr,
       nullptr,
       1,
       "00120000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char out[32] = "untouched";
    EXPECT_EQ(
        QMA_XML_GetElemValueForFile_WithAttr(capture_log, file.c_str(), c.select.get(),
                                             c.value.get(), c.attr, c.attr_value, out, sizeof out),
        c.result);
    if (c.result == 1) {
      EXPECT_EQ(std::string(out), c.text);
    }
  }
  // Not found is not logged.
  EXPECT_TRUE(logged().empty());

  // The same empty element is a success for the plain value query.
  char out[32] = "untouched";
  const std::string empty = write("empty.xml", "<a><b></b></a>");
  EXPECT_EQ(QMA_XML_GetElementValueForFile(capture_log, empty.c_str(), Path{"a", "b"}.get(), out,
                                           sizeof out),
            1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(
      QMA_XML_GetElemValueForFile_WithAttr(capture_log, empty.c_str(), Path{"a", "b"}.get(),
                                           Path{"a", "b"}.get(), nullptr, nullptr, out, sizeof out),
      0);
}

TEST_F(FileQueries, SelectingAttributeComparedOverItsFirst1023Characters) {
  const std::string code(1100, '7');
  const std::string file =
      write("long.xml", "<quillmend_package><output_messages><message_list status_code=\"" + code +
                            "\"><message lang=\"ja\">J</message><message "
                            "lang=\"en\">E</message></message_list></output_messages>"
                            "</quillmend_package>");
  const Path select{"quillmend_package", "output_messages", "message_list"};
  const Path value{"", "", "", "message"};
  struct Case {
    const char* name;
    std::string expected;
    bool match;
  };
  const std::vector<Case> cases = {
      {"first_1023_characters", code.substr(0, 1023), true},
      {"1024_characters", code.substr(0, 1024), false},
      {"whole_value", code, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char out[8] = "";
    EXPECT_EQ(
        QMA_XML_GetElemValueForFile_WithAttr(capture_log, file.c_str(), select.get(), value.get(),
                                             "status_code", c.expected.c_str(), out, sizeof out),
        c.match ? 1 : 0);
    char ja[8] = "keep";
    char en[8] = "keep";
    EXPECT_EQ(QMA_XML_GetStatusMsg(capture_log, file.c_str(), c.expected.c_str(), ja, sizeof ja, en,
                                   sizeof en),
              1);
    EXPECT_STREQ(ja, c.match ? "J" : "keep");
    EXPECT_STREQ(en, c.match ? "E" : "keep");
  }
  EXPECT_TRUE(logged().empty());
}

TEST_F(FileQueries, AttributeValueSelectedByPatterns) {
  struct Case {
    const char* name;
    std::string file_value;
    std::string expected;
    bool match;
  };
  // One selecting attribute with the file's pattern, against the caller's expected value.
  const std::vector<Case> cases = {
      {"star_matches_the_rest", "6.*", "6.1", true},
      {"star_matches_nothing_more", "6.*", "6.", true},
      {"prefix_differs", "6.*", "7.0", false},
      {"shorter_expected_value", "6.*", "6", false},
      {"lone_star_matches_empty", "*", "", true},
      {"two_empty_values_match", "", "", true},
      {"exact_value", "6.1", "6.1", true},
      {"longer_file_value", "6.10", "6.1", false},
      {"star_in_expected_value_is_plain", "6.1", "6.*", false},
      {"case_sensitive", "abc", "ABC", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    const std::string file =
        write("os.xml", "<p><os_list><os major=\"" + c.file_value +
                            "\"><command exe=\"run.exe\"/></os></os_list></p>");
    const char* names[] = {"major", ""};
    const char* expected[] = {c.expected.c_str(), ""};
    const char* value_names[] = {"exe", ""};
    char out[32] = "untouched";
    EXPECT_EQ(QMA_XML_GetAttrValueForFile_WithAttrs(capture_log, file.c_str(),
                                                    Path{"p", "os_list", "os"}.get(),
                                                    Path{"p", "os_list", "os", "command"}.get(),
                                                    names, expected, value_names, out, sizeof out),
              c.match ? 1 : 0);
    EXPECT_STREQ(out, c.match ? "run.exe" : "untouched");
    EXPECT_EQ(logged(),
              c.match ? Texts{} : Texts{"QMA_xml_GetAttributeValueForFile_WithAttrs() error!"});
  }
}

TEST_F(FileQueries, AttributeValueSelectedBySeveralAttributes) {
  const std::string file = write("QuillInfo.xml", kDescriptor);
  const Path select{"quillmend_package", "os_list", "os"};
  const Path value{"quillmend_package", "os_list", "os", "command"};
  const char* names[] = {"major", "minor", "arch", ""};
  const char* value_names[] = {"exe", "ignored", ""};
  struct Case {
    const char* name;
    const char* major;
    const char* minor;
    const char* arch;
    std::string exe;
  };
  const std::vector<Case> cases = {
      {"every_attribute_must_match", "5", "2", "x86", "old.exe"},
      // The first command of the selected entry lacks the value name and is skipped.
      {"command_without_the_value_name_is_skipped", "6.3", "1", "x64", "new.exe"},
      // An entry without one of the names fails the test: the third entry has no minor.
      {"missing_selecting_attribute_fails_the_entry", "10", "0", "x64", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const char* expected[] = {c.major, c.minor, c.arch, ""};
    char out[32] = "";
    EXPECT_EQ(
        QMA_XML_GetAttrValueForFile_WithAttrs(capture_log, file.c_str(), select.get(), value.get(),
                                              names, expected, value_names, out, sizeof out),
        c.exe.empty() ? 0 : 1);
    EXPECT_EQ(std::string(out), c.exe);
  }

  // No selecting names: the first entry is taken.
  const char* none[] = {""};
  char out[32] = "";
  EXPECT_EQ(
      QMA_XML_GetAttrValueForFile_WithAttrs(capture_log, file.c_str(), select.get(), value.get(),
                                            none, none, value_names, out, sizeof out),
      1);
  EXPECT_STREQ(out, "old.exe");
}

TEST_F(FileQueries, RepeatedAttributeValues) {
  const std::string file = write("Get_version.xml",
                                 "<Response><result_code>0</result_code><extension>"
                                 "<option id=\"1\"/><option id=\"\"/><option id=\"2\"/></extension>"
                                 "<more><option id=\"3\"/></more></Response>");
  const Path first{"Response", "extension", "option"};
  const Path next{"option"};
  struct Case {
    const char* name;
    bool with_array;
    int capacity;
    int count;
    Texts values;
  };
  // Later passes look at the depth of the element just matched, under any parent.
  const std::vector<Case> cases = {
      {"counting_mode", false, 0, 3, {}},
      {"empty_value_is_not_counted", true, 8, 3, {"1", "2", "3"}},
      {"capacity_one", true, 1, 1, {"1"}},
      {"capacity_two", true, 2, 2, {"1", "2"}},
      // No room at all: nothing is written, not even the first value.
      {"capacity_zero", true, 0, 0, {}},
      {"negative_capacity", true, -1, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> array(9 * 128, '#');
    int count = c.capacity;
    EXPECT_EQ(
        QMA_XML_GetAttrValueForFile_WithID(capture_log, file.c_str(), first.get(), next.get(), "id",
                                           1, c.with_array ? array.data() : nullptr, 128, &count),
        1);
    EXPECT_EQ(count, c.count);
    for (size_t i = 0; i < c.values.size(); ++i) {
      EXPECT_STREQ(array.data() + i * 128, c.values[i].c_str()) << "entry " << i;
    }
    // Nothing is written past the capacity.
    if (c.with_array) {
      EXPECT_EQ(array[static_cast<size_t>(c.capacity < 0 ? 0 : c.capacity) * 128], '#');
    }
  }
  EXPECT_TRUE(logged().empty());
}

TEST_F(FileQueries, StatusMessages) {
  const std::string file = write("QuillInfo.xml", kDescriptor);
  struct Case {
    const char* name;
    const char* code;
    int result;
    std::string ja, en;
    Texts log;
  };
  const std::vector<Case> cases = {
      {"both_languages", "601", 1, "JA-601", "EN-601", {}},
      {"code_without_messages_leaves_outputs", "999", 1, "keep-ja", "keep-en", {}},
      // The search for the Japanese text stops only above the list, so the next list's
      // Japanese message is taken; the English one is the list's own.
      {"missing_japanese_taken_from_a_later_list", "771", 1, "JA-772", "EN-771", {}},
      {"empty_japanese_message", "773", 1, "", "EN-773", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    char ja[64] = "keep-ja";
    char en[64] = "keep-en";
    EXPECT_EQ(QMA_XML_GetStatusMsg(capture_log, file.c_str(), c.code, ja, sizeof ja, en, sizeof en),
              c.result);
    EXPECT_EQ(std::string(ja), c.ja);
    EXPECT_EQ(std::string(en), c.en);
    EXPECT_EQ(logged(), c.log);
  }

  // The list holds only an English message and no later list has a Japanese one.
  const std::string only_en =
      write("only_en.xml",
            "<quillmend_package><output_messages>"
            "<message_list status_code=\"5\"><message lang=\"en\">E</message>"
            "</message_list></output_messages></quillmend_package>");
  LogCapture::instance().clear();
  char ja[8] = "keep";
  char en[8] = "keep";
  EXPECT_EQ(QMA_XML_GetStatusMsg(capture_log, only_en.c_str(), "5", ja, sizeof ja, en, sizeof en),
            0);
  EXPECT_STREQ(en, "keep");
  auto lines = LogCapture::instance().lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].func, "QMA_XML_GetStatusMsg");
  EXPECT_EQ(lines[0].file, "QMAXml");
  EXPECT_EQ(lines[0].text, "QMA_xml_GetElementValue() error!");
}

TEST_F(FileQueries, ModuleNames) {
  const std::string file = write("QuillInfo.xml", kDescriptor);
  char ja[8];
  char en[8];
  EXPECT_EQ(
      QMA_XML_GetModuleName(capture_log, file.c_str(), "module_name", ja, sizeof ja, en, sizeof en),
      1);
  EXPECT_STREQ(ja, "JA-NAME");
  EXPECT_STREQ(en, "Module ");  // cut to size minus one
  EXPECT_TRUE(logged().empty());

  EXPECT_EQ(QMA_XML_GetModuleName(capture_log, file.c_str(), "module_name_with_id", ja, sizeof ja,
                                  en, sizeof en),
            0);
  EXPECT_EQ(logged(), Texts{"QMA_xml_GetElementValue() error!"});

  const std::string only_ja = write(
      "ja.xml", "<quillmend_package><module_name lang=\"ja\">J</module_name></quillmend_package>");
  LogCapture::instance().clear();
  EXPECT_EQ(QMA_XML_GetModuleName(capture_log, only_ja.c_str(), "module_name", ja, sizeof ja, en,
                                  sizeof en),
            0);
  EXPECT_STREQ(ja, "J");
  EXPECT_EQ(logged(), Texts{"QMA_xml_GetElementValue() error!!"});
}

TEST_F(FileQueries, QueriesFromManyThreadsAgree) {
  const std::string file = write("QuillInfo.xml", kDescriptor);
  constexpr int kThreads = 6;
  constexpr int kRounds = 100;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        char ja[32] = "";
        char en[32] = "";
        const char* code = (i % 2 == 0) ? "601" : "772";
        if (QMA_XML_GetStatusMsg(capture_log, file.c_str(), code, ja, sizeof ja, en, sizeof en) !=
                1 ||
            std::string(ja) != std::string("JA-") + code ||
            std::string(en) != std::string("EN-") + code) {
          ++mismatches[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST_F(FileQueries, FileThatCannotBeOpened) {
  const std::string missing = path_text(roots_.base() / "absent" / "QuillInfo.xml");
  // A tool may leave a file past the bound (1 GB, sparse) in a result file's place: it is
  // refused at once, as a missing file is.
  const std::string huge = write("Get_ratio.xml", "<a><b>1</b></a>");
  std::filesystem::resize_file(huge, 1ULL << 30);
  expect_every_query_refuses({missing, huge});
}

TEST_F(FileQueries, EveryFileQueryFindsTheFileWithoutRegardToCase) {
  // The tool writes "QuillInfo.xml"; the agent asks for "quillinfo.xml" (and the reverse for
  // result files): the last component names the same file whatever its case.
  write("QuillInfo.xml",
        "<quillmend_package><module_name lang=\"ja\">J</module_name>"
        "<module_name lang=\"en\">E</module_name><x id=\"1\"><y a=\"w\">v</y></x>"
        "<output_messages><message_list status_code=\"601\"><message lang=\"ja\">j</message>"
        "<message lang=\"en\">e</message></message_list></output_messages></quillmend_package>");
  const std::string asked = (roots_.base() / "quillinfo.xml").string();
  const char* file = asked.c_str();
  const Path path{"quillmend_package", "x"};
  const Path value_path{"quillmend_package", "x", "y"};
  char out[16];
  char other[16];
  int count = 0;
  const char* names[] = {"id", ""};
  const char* values[] = {"1", ""};
  const char* value_names[] = {"a", ""};
  struct Case {
    const char* name;
    std::function<int()> call;
  };
  const std::vector<Case> cases = {
      {"check", [&] { return QMA_XML_CheckElementForFile(capture_log, file, path.get()); }},
      {"element_value",
       [&] { return QMA_XML_GetElementValueForFile(capture_log, file, path.get(), out, 16); }},
      {"attribute_value",
       [&] {
         return QMA_XML_GetAttributeValueForFile(capture_log, file, path.get(), "id", 1, out, 16);
       }},
      {"with_attr",
       [&] {
         return QMA_XML_GetElemValueForFile_WithAttr(capture_log, file, path.get(),
                                                     value_path.get(), "id", "1", out, 16);
       }},
      {"with_attrs",
       [&] {
         return QMA_XML_GetAttrValueForFile_WithAttrs(
             capture_log, file, path.get(), value_path.get(), names, values, value_names, out, 16);
       }},
      {"status_message",
       [&] { return QMA_XML_GetStatusMsg(capture_log, file, "601", out, 16, other, 16); }},
      {"module_name",
       [&] { return QMA_XML_GetModuleName(capture_log, file, "module_name", out, 16, other, 16); }},
      {"with_id",
       [&] {
         count = 0;
         QMA_XML_GetAttrValueForFile_WithID(capture_log, file, path.get(), Path{"x"}.get(), "id", 1,
                                            nullptr, 16, &count);
         return count;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    EXPECT_EQ(c.call(), 1);
    EXPECT_EQ(logged(), Texts{});
  }
}

TEST_F(FileQueries, UnreadableFilesAreFailuresNotCrashes) {
  char out[16] = "";
  const Path path{"a"};
  // A folder and an unreadable file: opening or the first read fails.
  EXPECT_EQ(QMA_XML_GetElementValueForFile(capture_log, path_text(roots_.base()).c_str(),
                                           path.get(), out, sizeof out),
            0);
  const std::string locked = write("locked.xml", "<a>1</a>");
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  // Only a process that the permissions keep out (not root) can see the read fail.
  if (!std::ifstream(locked)) {
    EXPECT_EQ(
        QMA_XML_GetElementValueForFile(capture_log, locked.c_str(), path.get(), out, sizeof out),
        0);
  }
  // A deeply nested file fails at the parser's depth limit.
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<a>";
  const std::string nested = write("deep.xml", deep);
  EXPECT_EQ(QMA_XML_CheckElementForFile(capture_log, nested.c_str(), Path{"x"}.get()), 0);
}

}  // namespace
