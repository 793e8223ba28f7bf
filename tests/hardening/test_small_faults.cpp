// Smaller faults found on the way: qmareg shows control characters escaped, qmactl refuses
// bad arguments and escapes what it puts into XML, and a request nested deeper than 256
// levels anywhere is a failed read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hardening/hardening_support.h"
#include "manager_if/agent_harness.h"

namespace {

using qma::test::exchange;
using qma::test::request_frame;
using qma::test::run_program;
using qma::test::split_lines;

TEST(QmaregQuery, ControlCharactersAreShownEscapedSoNoValueFakesALine) {
  qma::test::TempRoots roots;
  const std::string qmareg = qma::test::program_path("qmareg");
  const std::string fake = "x\n    AGENT_EFFECT    REG_DWORD    0x0";
  ASSERT_EQ(
      run_program({qmareg, "add", "HKLM\\SOFTWARE\\T", "/v", "Note", "/d", fake, "/f"}).exit_code,
      0);
  ASSERT_EQ(run_program({qmareg, "add", "HKLM\\SOFTWARE\\T", "/v", "Bell\x07\t", "/t",
                         "REG_EXPAND_SZ", "/d", "%X%\\bin\r\x1b[2J", "/f"})
                .exit_code,
            0);
  auto query = run_program({qmareg, "query", "HKLM\\SOFTWARE\\T"});
  EXPECT_EQ(query.exit_code, 0);
  EXPECT_EQ(
      split_lines(query.out),
      (std::vector<std::string>{"", "HKEY_LOCAL_MACHINE\\SOFTWARE\\T",
                                "    Note    REG_SZ    x\\n    AGENT_EFFECT    REG_DWORD    0x0",
                                "    Bell\\x07\\t    REG_EXPAND_SZ    %X%\\bin\\r\\x1B[2J"}))
      << query.out;
}

class QmactlArguments : public ::testing::Test {
 protected:
  void SetUp() override { agent_.start(); }
  qma::test::InProcessAgent agent_;
  std::string qmactl_ = qma::test::program_path("qmactl");
};

TEST_F(QmactlArguments, BadArgumentsAreUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--timeout", "abc", "info"},
      {"--timeout", "0", "info"},
      {"--timeout", "-5", "info"},
      {"--timeout", "5s", "info"},
      {"info", "--timeout"},
      {"listen", "abc"},
      {"listen", "70000"},
      {"listen", "-1"},
      {"listen", "8080", "--count", "x"},
      {"listen", "8080", "--count", "0"},
  };
  for (auto args : bad) {
    args.insert(args.begin(), qmactl_);
    auto run = run_program(args, 5000);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(run.exit_code, 2) << shown;
    EXPECT_NE(run.err.find("usage: qmactl"), std::string::npos) << shown << run.err;
    EXPECT_EQ(run.out, "") << shown;
  }
  EXPECT_EQ(agent_.count_in_log("Arrival of the pipe was detected"), 0)
      << "nothing was sent for a bad command line";
}

TEST_F(QmactlArguments, TextPutIntoTheRequestIsEscaped) {
  auto run = run_program({qmactl_, "--id", "<a&\"b'>", "info"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_GE(agent_.count_in_log("MsgID=[<a&\"b'>]"), 1) << agent_.log();
  run = run_program({qmactl_, "progress", "01<&>000", "--option", "o\"p&"});
  EXPECT_NE(run.exit_code, 3) << "the request was read: " << run.err;
  EXPECT_GE(agent_.count_in_log("ModuleID=[01<&>000]"), 1) << agent_.log();
}

TEST_F(QmactlArguments, RequestNestedDeeperThan256LevelsIsAFailedRead) {
  // QMMMessage and QMMData are the first two levels; `inner` more follow.
  auto nested = [](int inner) {
    std::string open, close;
    for (int i = 0; i < inner; ++i) {
      open += "<a>";
      close += "</a>";
    }
    return "<QMMMessage MessageVersion=\"2.0\"><MessageID>N</MessageID><CommandCode>0"
           "</CommandCode><QMMData>" +
           open + close + "</QMMData></QMMMessage>";
  };
  auto at_limit = exchange(request_frame(nested(254)), 0, 5000);
  EXPECT_NE(at_limit.answer.find("<Status>600</Status>"), std::string::npos)
      << "256 levels are allowed";
  for (int inner : {255, 100000}) {
    auto deep = exchange(request_frame(nested(inner)), 0, 5000);
    EXPECT_TRUE(deep.connected);
    EXPECT_EQ(deep.answer, "") << inner << " inner levels";
  }
  EXPECT_EQ(agent_.count_in_log("QMMMessage is nested deeper than 256 levels!"), 2);
  EXPECT_EQ(agent_.count_in_log("QMA_Axis2GetManagerRequestInfo() error!"), 2);
}

// The nesting is counted on the raw text: only real elements count, whatever markup,
// comments, character data and declarations hold.
TEST(RequestNesting, OnlyRealElementsCount) {
  auto levels = [](int count, const std::string& deepest) {
    std::string open, close;
    for (int i = 0; i < count; ++i) {
      open += i % 2 == 0 ? "<a x=\"/>\">" : "<b y='>'>";
      close = (i % 2 == 0 ? "</a>" : "</b>") + close;
    }
    return open + deepest + close;
  };
  auto message = [](const std::string& data, const std::string& prolog = "") {
    return prolog +
           "<QMMMessage MessageVersion=\"2.0\"><MessageID>m</MessageID><CommandCode>0"
           "</CommandCode><QMMData>" +
           data + "</QMMData></QMMMessage>";
  };
  struct Row {
    const char* name;
    std::string xml;
    int result;
  };
  const std::string tags = "<a><a><a><a>";
  const Row rows[] = {
      {"256 levels", message(levels(254, "")), 1},
      {"257 levels", message(levels(255, "")), 0},
      {"an empty element at level 257", message(levels(254, "<e/>")), 0},
      {"an empty element at level 256", message(levels(253, "<e/>")), 1},
      {"tags in a comment", message(levels(254, "<!-- " + tags + " -->")), 1},
      {"tags in character data", message(levels(254, "<![CDATA[" + tags + "]]>")), 1},
      {"tags in a processing instruction", message(levels(254, "<?pi " + tags + " ?>")), 1},
      {"tags in the document type",
       message(levels(254, ""),
               "<!DOCTYPE QMMMessage [<!ENTITY t \"" + tags + "\"><!-- ] > --><!ELEMENT a ANY>]>"),
       1},
  };
  for (const Row& row : rows) {
    ReqInfo req{};
    QMAConfig config{};
    EXPECT_EQ(QMA_XML_GetManagerRequestInfo(nullptr, row.xml.data(),
                                            static_cast<int>(row.xml.size()), &req, &config),
              row.result)
        << row.name;
  }
}

}  // namespace
