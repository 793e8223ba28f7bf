// qmactl's JSON conversion of answers and notices, one row per message shape.
#include <gtest/gtest.h>

#include <string>

#include "tools/qmactl/json_output.h"

namespace {

using qma::qmactl::json_answer;
using qma::qmactl::json_notice;

struct Row {
  const char* name;
  std::string xml;
  std::string attached;
  std::string json;
};

const std::string kHead = "<QMAMessage MessageVersion=\"2.0\"><InReplyTo>M-7</InReplyTo>";
const std::string kJsonHead = R"({"MessageVersion":"2.0","InReplyTo":"M-7",)";

TEST(QmactlJson, EveryMessageShapeBecomesOneObject) {
  const Row rows[] = {
      {"versions_table_with_options",
       kHead + "<CommandCode>1</CommandCode><QMAData><Status>600</Status><AgentStatus>normal"
               "</AgentStatus><AgentVersion>3.1.0</AgentVersion><HostName>4711</HostName>"
               "<windows_os major=\"12\" minor=\"0\" sp_major=\"0\" sp_minor=\"0\" arch=\"x64\">"
               "<reference refid=\"0\"></reference><product_type>256</product_type></windows_os>"
               "<OSName>Debian</OSName><target_machine model_name=\"Model X\"><n_code "
               "parent_n_code=\"P1\"><child_n_code>C1</child_n_code></n_code></target_machine>"
               "<Guid>AB-CD</Guid><Serial>0042</Serial>"
               "<Module><ModuleID>00000000</ModuleID><module_name lang=\"ja\">BIOS-ja</module_name>"
               "<module_name lang=\"en\">System BIOS</module_name><ModuleStatus>0</ModuleStatus>"
               "<CurrentVersion>1.20</CurrentVersion><ExVersion></ExVersion><ExExVersion>"
               "</ExExVersion><PackageID></PackageID><Compare>even</Compare><ToolOutputLog "
               "lang=\"ja\"></ToolOutputLog><ToolOutputLog lang=\"en\"></ToolOutputLog></Module>"
               "<Module><ModuleID>01000000</ModuleID><ModuleStatus>-1</ModuleStatus><extension>"
               "<module_name_with_id lang=\"en\">Tool 01000000</module_name_with_id>"
               "<option id=\"A\"><ModuleStatus>2</ModuleStatus><CurrentVersion>3</CurrentVersion>"
               "</option></extension></Module></QMAData></QMAMessage>",
       "",
       kJsonHead +
           R"("CommandCode":1,"QMAData":{"Status":600,"AgentStatus":"normal",)"
           R"("AgentVersion":"3.1.0","HostName":"4711","windows_os":{"major":12,"minor":0,)"
           R"("sp_major":0,"sp_minor":0,"arch":"x64","reference":{"refid":0},)"
           R"("product_type":256},"OSName":"Debian","target_machine":{"model_name":"Model X",)"
           R"("n_code":{"parent_n_code":"P1","child_n_code":"C1"}},"Guid":"AB-CD",)"
           R"("Serial":"0042","Module":[{"ModuleID":"00000000","module_name":[{"lang":"ja",)"
           R"("text":"BIOS-ja"},{"lang":"en","text":"System BIOS"}],"ModuleStatus":0,)"
           R"("CurrentVersion":"1.20","ExVersion":"","ExExVersion":"","PackageID":"",)"
           R"("Compare":"even","ToolOutputLog":[{"lang":"ja"},{"lang":"en"}]},)"
           R"({"ModuleID":"01000000","ModuleStatus":-1,"extension":{"module_name_with_id":)"
           R"({"lang":"en","text":"Tool 01000000"},"option":[{"id":"A","ModuleStatus":2,)"
           R"("CurrentVersion":"3"}]}}]}})"},
      {"refused_skeleton_has_null_counters",
       kHead + "<CommandCode>1</CommandCode><QMAData><Status>901</Status><windows_os major=\"\" "
               "arch=\"\"><product_type></product_type></windows_os></QMAData></QMAMessage>",
       "",
       kJsonHead +
           R"("CommandCode":1,"QMAData":{"Status":901,"windows_os":{"major":null,"arch":"",)"
           R"("product_type":null}}})"},
      {"progress_that_is_no_number_stays_text",
       kHead + "<CommandCode>4</CommandCode><QMAData><Status>600</Status><Progress>n/a"
               "</Progress></QMAData></QMAMessage>",
       "", kJsonHead + R"("CommandCode":4,"QMAData":{"Status":600,"Progress":"n/a"}})"},
      {"log_archive_names_the_attached_file",
       kHead + "<CommandCode>7</CommandCode><QMAData><Status>600</Status><FileName>"
               "QMAgentLog.zip</FileName></QMAData></QMAMessage>",
       "/var/log/quillmend-agent/QMA_LOGROOT/QMAgentLog.zip",
       kJsonHead + R"("CommandCode":7,"QMAData":{"Status":600,"FileName":"QMAgentLog.zip"},)"
                   R"("AttachedFile":"/var/log/quillmend-agent/QMA_LOGROOT/QMAgentLog.zip"})"},
      {"unescaped_ampersand_quotes_and_bad_bytes",
       kHead + "<CommandCode>3</CommandCode><QMAData><Status>771</Status><ToolOutputLog "
               "lang=\"en\">a&b \"c\"\t\xff</ToolOutputLog></QMAData></QMAMessage>",
       "",
       kJsonHead + R"("CommandCode":3,"QMAData":{"Status":771,"ToolOutputLog":{"lang":"en",)"
                   "\"text\":\"a&b \\\"c\\\"\\t\xEF\xBF\xBD\"}}}"},
      {"declaration_and_layout_space_are_no_values",
       "<?xml version=\"1.0\"?>\n<QMAMessage MessageVersion=\"2.0\">\n  <InReplyTo>M-7"
       "</InReplyTo>\n  <CommandCode>5</CommandCode>\n</QMAMessage>\n",
       "", kJsonHead + R"("CommandCode":5})"},
      {"not_well_formed_comes_whole",
       kHead + "<CommandCode>3</CommandCode><QMAData><ToolOutputLog>1 < 2</ToolOutputLog>"
               "</QMAData></QMAMessage>",
       "",
       R"({"RawMessage":"<QMAMessage MessageVersion=\"2.0\"><InReplyTo>M-7</InReplyTo>)"
       R"(<CommandCode>3</CommandCode><QMAData><ToolOutputLog>1 < 2</ToolOutputLog>)"
       R"(</QMAData></QMAMessage>"})"},
      {"unclosed_root", kHead, "",
       R"({"RawMessage":"<QMAMessage MessageVersion=\"2.0\"><InReplyTo>M-7</InReplyTo>"})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(json_answer(row.xml, row.attached), row.json);
  }
}

TEST(QmactlJson, CompletionNoticeKeepsItsModuleTableAndPath) {
  std::string notice =
      kHead +
      "<CommandCode>3</CommandCode><QMAData><Status>600</Status><Module><CurrentVersion>2.0"
      "</CurrentVersion><ExVersion>1.0</ExVersion><extension><option id=\"X\"></option>"
      "</extension></Module><ToolOutputLog lang=\"ja\">j</ToolOutputLog><ToolOutputLog "
      "lang=\"en\">done</ToolOutputLog></QMAData></QMAMessage>";
  EXPECT_EQ(json_notice("POST /quillmend.manager HTTP/1.1", notice),
            kJsonHead +
                R"("CommandCode":3,"QMAData":{"Status":600,"Module":[{"CurrentVersion":"2.0",)"
                R"("ExVersion":"1.0","extension":{"option":[{"id":"X"}]}}],"ToolOutputLog":)"
                R"([{"lang":"ja","text":"j"},{"lang":"en","text":"done"}]},)"
                R"("NoticePath":"/quillmend.manager"})");
}

}  // namespace
