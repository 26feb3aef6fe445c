#include "host/mIniFile.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(IniFile, ReadsValuesWithProfileFunctionRules) {
  struct Case {
    const char* text;
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"[Security]\r\nMode=7\r\n", "Security", "Mode", "7"},
      {"[S]\nk=LF only\n", "S", "k", "LF only"},
      {"[S]\r\nk=CRLF\r\n", "S", "k", "CRLF"},
      {"[S]\nk=no final line end", "S", "k", "no final line end"},
      {"[SECURITY]\nMODE=1\n", "security", "mode", "1"},                  // case-insensitive names
      {"[\xC9t\xE9]\nCl\xE9=x\n", "\xE9T\xC9", "CL\xC9", "x"},            // Windows-1252 letters too
      {"[  Options  ]\n  Port  =   2 2 2 2   \n", "Options", "Port", "2 2 2 2"},
      {"[S]\nk=\"  quoted blanks  \"\n", "S", "k", "  quoted blanks  "},
      {"[S]\nk='single'\n", "S", "k", "single"},
      {"[S]\nk=\"\"twice\"\"\n", "S", "k", "\"twice\""},                    // one pair only
      {"[S]\nk=\"mismatched'\n", "S", "k", "\"mismatched'"},
      {"[S]\nk=\"\n", "S", "k", "\""},
      {"[S]\nk=a=b\n", "S", "k", "a=b"},
      {"[S]\nk=\n", "S", "k", ""},
      {"[S]\nk=first\nK=second\n", "S", "k", "first"},                     // first key wins
      {"[S]\nk=first\n[s]\nk=second\n", "S", "k", "first"},                // first section wins
      {"[A]\nk=a\n[B]\nk=b\n", "B", "k", "b"},
      {"k=outside\n[S]\n", "S", "k", "default"},                           // before any section
      {"[S]\n;k=comment\n", "S", "k", "default"},
      {"[S]\nk\n", "S", "k", "default"},                                   // no '='
      {"[S]\nother=1\n", "S", "k", "default"},                             // missing key
      {"[T]\nk=1\n", "S", "k", "default"},                                 // missing section
      {"", "S", "k", "default"},
  };
  for (const Case& c : cases) {
    TIniFile ini = TIniFile::FromText(c.text);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "default"), c.expected) << c.text;
  }
}

TEST(IniFile, ReadsIntegersAsWholeDecimalNumbersElseTheDefault) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {{"7", 7},         {"0", 0},           {"-3", -3},        {"+12", 12},
                        {"\"2\"", 2},     {"2147483647", 2147483647},            {"-2147483648", -2147483647 - 1},
                        {"2147483648", 99}, {"12abc", 99},    {"abc", 99},       {"", 99},
                        {"0x10", 99},     {"--1", 99},        {"-", 99}};
  for (const Case& c : cases) {
    TIniFile ini = TIniFile::FromText(std::string("[S]\nn=") + c.value + "\n");
    EXPECT_EQ(ini.ReadInteger("S", "n", 99), c.expected) << c.value;
  }
  EXPECT_EQ(TIniFile().ReadInteger("S", "n", 328), 328);
}

TEST(IniFile, ListsSectionNamesInFileOrderWithDuplicates) {
  TIniFile ini = TIniFile::FromText("[Alice]\nPswd=1\n[ alice ]\n[Bob\n[]\n[Alice]\n");
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"Alice", "alice", "Bob", "", "Alice"}));
  EXPECT_EQ(ini.ReadAt(0, "pswd"), "1");
  EXPECT_EQ(ini.ReadAt(1, "Pswd"), std::nullopt);
}

TEST(IniFile, WritesNewKeysInTheOrderGivenWithCrlf) {
  TIniFile ini;
  ASSERT_TRUE(ini.WriteString("Security", "Mode", "2"));
  ASSERT_TRUE(ini.WriteString("Options", "Port", "2222"));
  ASSERT_TRUE(ini.WriteString("Security", "SecretKey", ""));
  ASSERT_TRUE(ini.WriteInteger("Last", "Left", -8));
  EXPECT_EQ(ini.ToText(),
            "[Security]\r\nMode=2\r\nSecretKey=\r\n[Options]\r\nPort=2222\r\n[Last]\r\nLeft=-8\r\n");
}

TEST(IniFile, RewritingAKeyKeepsEveryOtherLine) {
  TIniFile ini = TIniFile::FromText(
      "; made by hand\n[options]\n  PORT = 1\nExtra=\"kept\"\n\n[Security]\nMode=0\n");
  ASSERT_TRUE(ini.WriteString("Options", "Port", "2222"));
  ASSERT_TRUE(ini.WriteString("Options", "ServerAddress", "0.0.0.0"));
  EXPECT_EQ(ini.ToText(),
            "; made by hand\r\n[options]\r\nPort=2222\r\nExtra=\"kept\"\r\nServerAddress=0.0.0.0\r\n"
            "\r\n[Security]\r\nMode=0\r\n");
}

TEST(IniFile, ValuesTheReaderWouldChangeAreQuotedOnceMoreAndReadBackTheSame) {
  const char* values[] = {"", "plain", " leading", "trailing ", "\tboth\t", "  ", "\"quoted\"",
                          "'single'", "\"", "\"open", "in\"side", "a=b", "'\"mixed'\"", "\x80\xFF"};
  for (const char* value : values) {
    TIniFile ini;
    ASSERT_TRUE(ini.WriteString("S", "k", value));
    EXPECT_EQ(TIniFile::FromText(ini.ToText()).ReadString("S", "k", "default"), value) << value;
  }
  TIniFile ini;
  ASSERT_TRUE(ini.WriteString("S", "a", "plain text"));
  ASSERT_TRUE(ini.WriteString("S", "b", " x"));
  ASSERT_TRUE(ini.WriteString("S", "c", "'y'"));
  EXPECT_EQ(ini.ToText(), "[S]\r\na=plain text\r\nb=\" x\"\r\nc=\"'y'\"\r\n");
}

TEST(IniFile, RefusesNamesAndValuesTheFileCannotHold) {
  struct Case {
    std::string section, key, value;
  };
  const Case cases[] = {
      {"S", "k", "line\nbreak"}, {"S", "k", "cr\rhere"},   {"S", "k", std::string("n\0ul", 4)},
      {"a]b", "k", "v"},         {" S", "k", "v"},         {"S\n[T]", "k", "v"},
      {"S", "", "v"},            {"S", "a=b", "v"},        {"S", " k", "v"},
      {"S", "[k", "v"},          {"S", ";k", "v"},
  };
  for (const Case& c : cases) {
    TIniFile ini = TIniFile::FromText("[S]\nk=old\n");
    TFileResult result = ini.WriteString(c.section, c.key, c.value);
    EXPECT_FALSE(result) << c.section << "/" << c.key << "=" << c.value;
    EXPECT_FALSE(result.Error.empty());
    EXPECT_EQ(ini.ToText(), "[S]\r\nk=old\r\n");
  }
}

}  // namespace
}  // namespace tw
