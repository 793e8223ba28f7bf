// The manager request parser: fields per command code, the walking rules, bad input and threads.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_stream.h"
#include "support/temp_roots.h"
#include "xmlsub/log_capture.h"
#include "xmlsub/qmagentsub.h"

namespace {

using qma::test::capture_log;
using qma::test::LogCapture;

class RequestParser : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { QMA_XML_InitParser(); }
  void SetUp() override { LogCapture::instance().clear(); }

  int parse(const std::string& xml, ReqInfo& req, QMAConfig& config) {
    return QMA_XML_GetManagerRequestInfo(capture_log, xml.data(), static_cast<int>(xml.size()),
                                         &req, &config);
  }
};

std::string root(const std::string& version, const std::string& body) {
  return "<QMMMessage MessageVersion=\"" + version + "\">\n  " + body + "\n</QMMMessage>\n";
}

std::string message(const std::string& version, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + root(version, body);
}

std::string update_data(const std::string& extra = "") {
  return "<QMMData><ModuleID>00120000</ModuleID><PackageID>PKG-77</PackageID>"
         "<Mode>update_normal</Mode><ReplyToAddress>10.0.0.5</ReplyToAddress>"
         "<ReplyToPort>8080</ReplyToPort>" +
         extra + "</QMMData>";
}

const std::string kUnset = "(unset)";

// Field values expected after a parse; kUnset means the parser must not have touched it.
struct Fields {
  std::string version, id, code, module = kUnset, package = kUnset, mode = kUnset, address = kUnset,
                                 port = kUnset, file = kUnset, option = kUnset;
};

// Pre-fills every field so that a field the parser must leave alone is recognisable.
void fill_unset(ReqInfo& req) {
  auto fill = [](char* field, size_t width) {
    std::memset(field, 0, width);
    std::strncpy(field, kUnset.c_str(), width - 1);
  };
  fill(req.QMMData.ModuleID, sizeof req.QMMData.ModuleID);
  fill(req.QMMData.PackageID, sizeof req.QMMData.PackageID);
  fill(req.QMMData.Mode, sizeof req.QMMData.Mode);
  fill(req.QMMData.ReplyToAddress, sizeof req.QMMData.ReplyToAddress);
  fill(req.QMMData.ReplyToPort, sizeof req.QMMData.ReplyToPort);
  fill(req.QMMData.FileName, sizeof req.QMMData.FileName);
  fill(req.QMMData.OptionID, sizeof req.QMMData.OptionID);
}

struct ParseCase {
  const char* name;
  std::string xml;
  int result;
  Fields fields;
  std::vector<std::string> log;
};

TEST_F(RequestParser, FieldsAndWalkingRules) {
  const std::string id20 = "ABCDEFGHIJKLMNOPQRST";
  const std::string long_package(300, 'p');
  const std::vector<ParseCase> cases = {
      {"unknown_version_is_logged_and_parsed",
       message("3.5", "<MessageID>m1</MessageID><CommandCode>1</CommandCode>"),
       1,
       {"3.5", "m1", "1"},
       {"QMMMessageVersion is unknown!! QMMMessageVersion=[3.5]"}},
      {"version_1_0_update_ignores_option",
       message("1.0", "<MessageID>m2</MessageID><CommandCode>3</CommandCode>" +
                          update_data("<extension><option id=\"A\"/></extension>")),
       1,
       {"1.0", "m2", "3", "00120000", "PKG-77", "update_normal", "10.0.0.5", "8080", kUnset,
        kUnset},
       {}},
      {"version_2_0_update_reads_option",
       message("2.0", "<MessageID>m3</MessageID><CommandCode>3</CommandCode>" +
                          update_data("<extension><option id=\"A\"/></extension>")),
       1,
       {"2.0", "m3", "3", "00120000", "PKG-77", "update_normal", "10.0.0.5", "8080", kUnset, "A"},
       {}},
      {"option_taken_from_first_option_with_an_id",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>4</CommandCode><QMMData><ModuleID>7</ModuleID>"
               "<extension><option/><option id=\"B\"/><option id=\"C\"/></extension></QMMData>"),
       1,
       {"2.0", "m", "4", "7", kUnset, kUnset, kUnset, kUnset, kUnset, "B"},
       {}},
      {"progress_without_extension_has_empty_option",
       message("2.0",
               "<MessageID>m4</MessageID><CommandCode>4</CommandCode><QMMData><ModuleID>00120000</"
               "ModuleID></QMMData>"),
       1,
       {"2.0", "m4", "4", "00120000", kUnset, kUnset, kUnset, kUnset, kUnset, ""},
       {}},
      {"register_reads_file_name_and_module",
       message("2.0",
               "<MessageID>m5</MessageID><CommandCode>2</CommandCode>"
               "<QMMData><FileName>pkg.zip</FileName><ModuleID>00130000</ModuleID></QMMData>"),
       1,
       {"2.0", "m5", "2", "00130000", kUnset, kUnset, kUnset, kUnset, "pkg.zip", kUnset},
       {}},
      {"message_id_cut_to_fifteen_characters",
       message("2.0", "<MessageID>" + id20 + "</MessageID><CommandCode>0</CommandCode>"),
       1,
       {"2.0", id20.substr(0, 15), "0"},
       {}},
      {"package_id_cut_to_its_width",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>3</CommandCode><QMMData><ModuleID>1</ModuleID>"
               "<PackageID>" +
                   long_package +
                   "</PackageID><Mode>install</Mode>"
                   "<ReplyToAddress>a</ReplyToAddress><ReplyToPort>1</ReplyToPort></QMMData>"),
       1,
       {"2.0", "m", "3", "1", long_package.substr(0, 259), "install", "a", "1", kUnset, ""},
       {}},
      {"empty_command_code_is_code_zero",
       message("2.0", "<MessageID>m6</MessageID><CommandCode></CommandCode>" + update_data()),
       1,
       {"2.0", "m6", ""},
       {}},
      {"empty_tag_takes_the_text_that_follows_it",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode/>4<QMMData><ModuleID>9</ModuleID></QMMData>"),
       1,
       {"2.0", "m", "4", "9", kUnset, kUnset, kUnset, kUnset, kUnset, ""},
       {}},
      {"letters_as_command_code_read_only_the_header",
       message("2.0", "<MessageID>m7</MessageID><CommandCode>abc</CommandCode>" + update_data()),
       1,
       {"2.0", "m7", "abc"},
       {}},
      {"leading_blanks_and_sign_in_command_code",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>  "
               "+4x</CommandCode><QMMData><ModuleID>5</ModuleID></QMMData>"),
       1,
       {"2.0", "m", "  +4x", "5", kUnset, kUnset, kUnset, kUnset, kUnset, ""},
       {}},
      {"huge_command_code_never_wraps_to_a_known_code",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>4294967299</CommandCode>" + update_data()),
       1,
       {"2.0", "m", "4294967299"},
       {}},
      {"message_id_one_level_too_deep_is_skipped",
       message("2.0",
               "<Header><MessageID>deep</MessageID></Header><MessageID>direct</"
               "MessageID><CommandCode>1</CommandCode>"),
       1,
       {"2.0", "direct", "1"},
       {}},
      {"level_never_goes_back_up",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>4</CommandCode><QMMData/>"
               "<Other><ModuleID>00990000</ModuleID></Other>"),
       1,
       {"2.0", "m", "4", "00990000", kUnset, kUnset, kUnset, kUnset, kUnset, ""},
       {}},
      {"text_is_raw_with_surrounding_blanks",
       message("2.0", "<MessageID> m8 </MessageID><CommandCode>1</CommandCode>"),
       1,
       {"2.0", " m8 ", "1"},
       {}},
      {"comment_or_child_first_gives_empty_value",
       message("2.0", "<MessageID><!-- x -->m</MessageID><CommandCode><![CDATA[3]]></CommandCode>"),
       1,
       {"2.0", "", ""},
       {}},
      {"white_space_only_gives_empty_value",
       message("2.0", "<MessageID>   </MessageID><CommandCode>\n 1 \n</CommandCode>"),
       1,
       {"2.0", "", "\n 1 \n"},
       {}},
      {"elements_in_any_order",
       message("2.0", update_data() + "<CommandCode>3</CommandCode><MessageID>m9</MessageID>"),
       1,
       {"2.0", "m9", "3", "00120000", "PKG-77", "update_normal", "10.0.0.5", "8080", kUnset, ""},
       {}},
      {"update_without_reply_port_fails",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>3</CommandCode><QMMData><ModuleID>1</ModuleID>"
               "<PackageID>p</PackageID><Mode>install</Mode><ReplyToAddress>h</ReplyToAddress></"
               "QMMData>"),
       0,
       {"2.0", "m", "3", "1", "p", "install", "h", "", kUnset, kUnset},
       {"QMA_xml_GetElementValue() error! ([QMMMessage:QMMData:ReplyToPort] not found. Manager "
        "message format error.)"}},
      {"register_without_file_name_fails_before_module",
       message("2.0",
               "<MessageID>m</MessageID><CommandCode>2</CommandCode><QMMData><ModuleID>1</"
               "ModuleID></QMMData>"),
       0,
       {"2.0", "m", "2", kUnset, kUnset, kUnset, kUnset, kUnset, "", kUnset},
       {"QMA_xml_GetElementValue() error! ([QMMMessage:QMMData:FileName] not found. Manager "
        "message format error.)"}},
      {"missing_message_version",
       "<QMMMessage><MessageID>m</MessageID><CommandCode>1</CommandCode></QMMMessage>",
       0,
       {"", "(unset)", "(unset)"},
       {"QMA_xml_GetAttributeValue() error! [QMMMessage]"}},
      {"missing_message_id",
       message("2.0", "<CommandCode>1</CommandCode>"),
       0,
       {"2.0", "", "(unset)"},
       {"QMA_xml_GetElementValue() error! [QMMMessage:MessageID]"}},
      {"missing_command_code",
       message("1.0", "<MessageID>m</MessageID>"),
       0,
       {"1.0", "m", ""},
       {"QMA_xml_GetElementValue() error! [QMA_QMTAG_QMMMESSAGE:QMA_QMTAG_COMMANDCODE]"}},
      {"other_root_has_no_version",
       "<QMAMessage MessageVersion=\"2.0\"/>",
       0,
       {"", "(unset)", "(unset)"},
       {"QMA_xml_GetAttributeValue() error! [QMMMessage]"}},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    ReqInfo req{};
    fill_unset(req);
    std::strcpy(req.MessageID, "(unset)");
    std::strcpy(req.CommandCode, "(unset)");
    QMAConfig config{};
    std::strcpy(config.SavedReplyToAddress, "old-address");
    std::strcpy(config.SavedReplyToPort, "old-port");

    EXPECT_EQ(parse(c.xml, req, config), c.result);
    EXPECT_EQ(req.MessageVersion, c.fields.version);
    EXPECT_EQ(req.MessageID, c.fields.id);
    EXPECT_EQ(req.CommandCode, c.fields.code);
    EXPECT_EQ(req.QMMData.ModuleID, c.fields.module);
    EXPECT_EQ(req.QMMData.PackageID, c.fields.package);
    EXPECT_EQ(req.QMMData.Mode, c.fields.mode);
    EXPECT_EQ(req.QMMData.ReplyToAddress, c.fields.address);
    EXPECT_EQ(req.QMMData.ReplyToPort, c.fields.port);
    EXPECT_EQ(req.QMMData.FileName, c.fields.file);
    EXPECT_EQ(req.QMMData.OptionID, c.fields.option);
    EXPECT_EQ(LogCapture::instance().texts(), c.log);

    // The saved reply-to fields change only when an update request parsed all its fields.
    const bool saved = c.result == 1 && c.fields.port != kUnset;
    EXPECT_EQ(config.SavedReplyToAddress, saved ? c.fields.address : "old-address");
    EXPECT_EQ(config.SavedReplyToPort, saved ? c.fields.port : "old-port");
  }
}

TEST_F(RequestParser, LogLinesNameTheExportAndTheSourceFile) {
  ReqInfo req{};
  QMAConfig config{};
  ASSERT_EQ(parse("not xml at all", req, config), 0);
  auto lines = LogCapture::instance().lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].func, "QMA_XML_GetManagerRequestInfo");
  EXPECT_EQ(lines[0].file, "QMAXml");
  EXPECT_GT(lines[0].line, 0);
  EXPECT_EQ(lines[0].text, "QMA_xml_GetAttributeValue() error! [QMMMessage]");
}

TEST_F(RequestParser, ReadsExactlyTheGivenLength) {
  const std::string xml =
      message("2.0",
              "<MessageID>m</MessageID><CommandCode>4</CommandCode><Note>n</Note>"
              "<QMMData><ModuleID>00120000</ModuleID></QMMData>");
  // A heap block of exactly the message, without a terminating zero: any read past its end is
  // caught by the address sanitizer.
  std::unique_ptr<char[]> exact(new char[xml.size()]);
  std::memcpy(exact.get(), xml.data(), xml.size());
  ReqInfo req{};
  QMAConfig config{};
  EXPECT_EQ(QMA_XML_GetManagerRequestInfo(capture_log, exact.get(), static_cast<int>(xml.size()),
                                          &req, &config),
            1);
  EXPECT_STREQ(req.QMMData.ModuleID, "00120000");

  // A length that ends before the data element hides the rest of the buffer.
  const size_t cut = xml.find("<QMMData>");
  ReqInfo short_req{};
  LogCapture::instance().clear();
  EXPECT_EQ(QMA_XML_GetManagerRequestInfo(capture_log, xml.data(), static_cast<int>(cut),
                                          &short_req, &config),
            0);
  EXPECT_STREQ(short_req.MessageID, "m");
  EXPECT_STREQ(short_req.CommandCode, "4");
  EXPECT_EQ(
      LogCapture::instance().texts(),
      std::vector<std::string>{"QMA_xml_GetElementValue() error! ([QMMMessage:QMMData:ModuleID] "
                               "not found. Manager message format error.)"});
}

TEST_F(RequestParser, BadInputIsRejectedWithTheMissingItem) {
  const std::string valid =
      message("2.0", "<MessageID>m</MessageID><CommandCode>3</CommandCode>" + update_data());
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<d>";
  const std::string big_text(1 << 20, 'x');
  struct BadCase {
    const char* name;
    std::string xml;
    int result;
    std::string first_log;  // the first log line starts with this
  };
  const std::vector<BadCase> cases = {
      {"empty", "", 0, "QMA_xml_GetAttributeValue() error! [QMMMessage]"},
      {"not_xml", "GET / HTTP/1.0\r\n\r\n", 0, "QMA_xml_GetAttributeValue() error! [QMMMessage]"},
      {"binary_zeros", std::string(64, '\0'), 0, "QMA_xml_GetAttributeValue() error! [QMMMessage]"},
      {"cut_inside_root_tag", valid.substr(0, valid.find("MessageVersion") + 8), 0,
       "QMA_xml_GetAttributeValue() error! [QMMMessage]"},
      // The reader hands out a node only once it has parsed past it, so the last complete
      // element before the cut is lost as well.
      {"cut_inside_data", valid.substr(0, valid.find("<Mode>") + 3), 0,
       "QMA_xml_GetElementValue() error! ([QMMMessage:QMMData:"},
      {"deep_nesting_before_the_id", message("2.0", deep + "<MessageID>m</MessageID>"), 0,
       "QMMMessage is nested deeper than 256 levels!"},
      // A short message is parsed in one piece, so its first lookup already sees the error.
      {"mismatched_tags",
       message("2.0", "<MessageID>m</MessageID><a></b><CommandCode>1</CommandCode>"), 0,
       "QMA_xml_GetAttributeValue() error! [QMMMessage]"},
      {"megabyte_text_is_cut",
       message("2.0", "<MessageID>" + big_text + "</MessageID><CommandCode>1</CommandCode>"), 1,
       ""},
      {"entity_is_not_expanded",
       "<!DOCTYPE QMMMessage [<!ENTITY code \"3\">]>" +
           root("2.0", "<MessageID>&code;</MessageID><CommandCode>1</CommandCode>"),
       1, ""},
      // Nested entities are refused by the parser's amplification guard before any lookup.
      {"entity_bomb_is_refused",
       "<!DOCTYPE QMMMessage [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
       "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;\">]>" +
           root("2.0", "<MessageID>&d;&d;&d;&d;</MessageID><CommandCode>1</CommandCode>"),
       0, "QMA_xml_GetAttributeValue() error! [QMMMessage]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture::instance().clear();
    ReqInfo req{};
    QMAConfig config{};
    EXPECT_EQ(parse(c.xml, req, config), c.result);
    auto texts = LogCapture::instance().texts();
    if (c.first_log.empty()) {
      EXPECT_TRUE(texts.empty());
    } else {
      ASSERT_FALSE(texts.empty());
      EXPECT_EQ(texts.front().substr(0, c.first_log.size()), c.first_log) << texts.front();
    }
    EXPECT_LT(std::strlen(req.MessageID), sizeof req.MessageID);
  }

  ReqInfo req{};
  QMAConfig config{};
  LogCapture::instance().clear();
  EXPECT_EQ(QMA_XML_GetManagerRequestInfo(capture_log, nullptr, 10, &req, &config), 0);
  EXPECT_EQ(QMA_XML_GetManagerRequestInfo(capture_log, valid.data(), -1, &req, &config), 0);
  EXPECT_EQ(
      LogCapture::instance().texts(),
      (std::vector<std::string>{"xmlReaderForMemory() error!", "xmlReaderForMemory() error!"}));
}

TEST_F(RequestParser, NeverLoadsExternalEntitiesOrReachesTheNetwork) {
  qma::test::TempRoots roots;
  const auto secret = roots.base() / "secret.txt";
  { std::ofstream(secret) << "TOPSECRET"; }

  // A local listener stands in for a remote server; the parser must never connect to it.
  auto listener = qma::platform::TcpListener::create(0);
  ASSERT_TRUE(listener.ok()) << listener.error();
  const std::string url = "http://127.0.0.1:" + std::to_string(listener->port()) + "/x";

  const std::string xml = "<!DOCTYPE QMMMessage SYSTEM \"" + url + ".dtd\" [" +
                          "<!ENTITY file SYSTEM \"file://" + secret.string() + "\">" +
                          "<!ENTITY net SYSTEM \"" + url + "\">]>" +
                          root("2.0",
                               "<MessageID>&file;</MessageID><CommandCode>&net;</CommandCode>"
                               "<QMMData><ModuleID>&file;</ModuleID></QMMData>");
  ReqInfo req{};
  QMAConfig config{};
  EXPECT_EQ(parse(xml, req, config), 1);
  EXPECT_STREQ(req.MessageID, "");
  EXPECT_STREQ(req.CommandCode, "");

  auto connected = listener->accept(0);
  EXPECT_FALSE(connected.ok()) << "the parser connected to " << url;
  EXPECT_EQ(connected.error(), qma::platform::kErrorSemTimeout);
}

TEST_F(RequestParser, SameRequestFromManyThreadsGivesTheSameRecord) {
  const std::string xml =
      message("2.0", "<MessageID>m-threads</MessageID><CommandCode>3</CommandCode>" +
                         update_data("<extension><option id=\"OPT-1\"/></extension>"));
  ReqInfo expected{};
  QMAConfig config{};
  ASSERT_EQ(parse(xml, expected, config), 1);

  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      QMAConfig own{};
      for (int i = 0; i < kRounds; ++i) {
        ReqInfo req{};
        if (QMA_XML_GetManagerRequestInfo(capture_log, xml.data(), static_cast<int>(xml.size()),
                                          &req, &own) != 1 ||
            std::memcmp(&req, &expected, sizeof req) != 0) {
          ++mismatches[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_TRUE(LogCapture::instance().texts().empty());
}

}  // namespace
