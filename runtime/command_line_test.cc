#include "runtime/command_line.h"

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(CommandLineTest, SwitchPrefixesAndValues) {
  CommandLine line = CommandLine::fromString(
      L"prog.exe --crash-reporter-parent-id=4321 -v=2 /vmodule=a=1,b=2 --flag plain");
  EXPECT_EQ(L"prog.exe", line.program());
  EXPECT_EQ(L"4321", line.switchValue("crash-reporter-parent-id"));
  EXPECT_EQ("2", line.switchValueAscii("v"));
  // Only the first "=" separates name from value.
  EXPECT_EQ(L"a=1,b=2", line.switchValue("vmodule"));
  EXPECT_TRUE(line.hasSwitch("flag"));
  EXPECT_EQ(L"", line.switchValue("flag"));
  ASSERT_EQ(1u, line.arguments().size());
  EXPECT_EQ(L"plain", line.arguments()[0]);
  EXPECT_FALSE(line.hasSwitch("missing"));
}

TEST(CommandLineTest, NamesIgnoreCaseAndLastOccurrenceWins) {
  CommandLine line = CommandLine::fromString(L"p --Name=1 --NAME=2");
  EXPECT_EQ(L"2", line.switchValue("name"));
  EXPECT_TRUE(line.hasSwitch("nAmE"));
}

TEST(CommandLineTest, DoubleDashEndsSwitches) {
  CommandLine line = CommandLine::fromString(L"p --a=1 -- --b=2 -c");
  EXPECT_TRUE(line.hasSwitch("a"));
  EXPECT_FALSE(line.hasSwitch("b"));
  ASSERT_EQ(2u, line.arguments().size());
  EXPECT_EQ(L"--b=2", line.arguments()[0]);
  EXPECT_EQ(L"-c", line.arguments()[1]);
}

TEST(CommandLineTest, MalformedLinesDoNotBreakParsing) {
  // A lone prefix is an argument, an unterminated quote takes the rest, an
  // empty line has no program.
  CommandLine line = CommandLine::fromString(L"p - / --=x \"--q=unterminated value");
  EXPECT_EQ(L"x", line.switchValue(""));
  EXPECT_EQ(L"unterminated value", line.switchValue("q"));
  EXPECT_EQ(2u, line.arguments().size());
  CommandLine empty = CommandLine::fromString(L"");
  EXPECT_EQ(L"", empty.program());
  EXPECT_TRUE(empty.arguments().empty());
}

TEST(CommandLineTest, NonAsciiValuesNarrowToQuestionMarks) {
  CommandLine line = CommandLine::fromString(L"p --id=1\u0662");
  EXPECT_EQ(L"1\u0662", line.switchValue("id"));
  EXPECT_EQ("1?", line.switchValueAscii("id"));
}

TEST(CommandLineTest, QuoteArgumentRoundTrips) {
  const wchar_t* samples[] = {L"",
                              L"plain",
                              L"with space",
                              L"quote\"inside",
                              L"trail\\",
                              L"C:\\dir with space\\",
                              L"back\\\\\"slash"};
  for (const wchar_t* sample : samples) {
    std::wstring line = L"p " + CommandLine::quoteArgument(sample);
    CommandLine parsed = CommandLine::fromString(line);
    ASSERT_EQ(1u, parsed.arguments().size()) << line.c_str();
    EXPECT_EQ(sample, parsed.arguments()[0]);
  }
}

TEST(CommandLineTest, ProcessWideLineInitialisesOnce) {
  CommandLine::resetForCurrentProcess();
  EXPECT_TRUE(CommandLine::initForCurrentProcess());
  EXPECT_FALSE(CommandLine::initForCurrentProcess());
  EXPECT_FALSE(CommandLine::forCurrentProcess().program().empty());
  CommandLine::resetForCurrentProcess();
  EXPECT_TRUE(CommandLine::forCurrentProcess().program().empty());
}

}  // namespace
}  // namespace tavra
