// Splitting Windows command lines: quotes, backslashes before quotes, empty arguments, program
// names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace qma::platform {
namespace {

struct SplitCase {
  const char* name;
  const char* line;
  std::vector<std::string> args;
};

TEST(SplitCommandLine, FollowsWindowsRules) {
  const SplitCase cases[] = {
      {"empty line gives nothing", "", {}},
      {"blanks and tabs separate", "p  a\t b  ", {"p", "a", "b"}},
      {"quoted program with blanks",
       R"("C:\Program Files\tool.exe" -o A1)",
       {R"(C:\Program Files\tool.exe)", "-o", "A1"}},
      {"program name keeps backslashes", R"(C:\dir\tool.exe x)", {R"(C:\dir\tool.exe)", "x"}},
      {"program name ends at closing quote", R"("C:\a b\"x y)", {R"(C:\a b\)", "x", "y"}},
      {"quoted program then trailing blank", "\"tool\" ", {"tool"}},
      {"quotes group blanks", R"(p "a b" c)", {"p", "a b", "c"}},
      {"quote inside a word groups", R"(p ab"c d"e)", {"p", "abc de"}},
      {"unterminated quote runs to the end", R"(p "a b)", {"p", "a b"}},
      {"backslashes not before a quote are literal",
       R"(p \\server\share c:\dir\)",
       {"p", R"(\\server\share)", R"(c:\dir\)"}},
      {"one backslash quote is a literal quote", R"(p a\"b)", {"p", R"(a"b)"}},
      {"two backslashes then grouping quote", R"(p a\\"b c")", {"p", R"(a\b c)"}},
      {"three backslashes then literal quote", R"(p a\\\"b)", {"p", R"(a\"b)"}},
      {"four backslashes then grouping quote", R"(p "a\\\\" b)", {"p", R"(a\\)", "b"}},
      {"folder with trailing backslash in quotes", R"(p "c:\dir\\")", {"p", R"(c:\dir\)"}},
      {"empty quoted argument", R"(p "" x)", {"p", "", "x"}},
      {"empty quoted argument at the end", R"(p "")", {"p", ""}},
      {"double quote inside quotes is literal", R"(p "a""b")", {"p", R"(a"b)"}},
      {"four quotes give one quote", R"(p """")", {"p", R"(")"}},
      {"leading blank gives empty program", " a", {"", "a"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(split_command_line(c.line), c.args) << c.name << ": [" << c.line << "]";
  }
}

}  // namespace
}  // namespace qma::platform
