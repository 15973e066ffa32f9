#include "desktop/windows/crash_reporter/upload/multipart_body.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

std::string bodyText(const MultipartBody& body) { return std::string(body.bytes.get(), body.size); }

std::string emptyConversion(std::wstring_view) { return std::string(); }

TEST(MultipartBodyTest, LaysOutFieldsInMapOrderThenTheFileAndTheClosingLine) {
  const std::wstring boundary = makeMultipartBoundary(0x1234, 0x7FFF);
  ASSERT_EQ(boundary, L"---------------------------0000123400007FFF");
  ASSERT_EQ(makeMultipartBoundary(0xABCDEF01u, 0xFFFFFFFFu),
            L"---------------------------ABCDEF01FFFFFFFF");
  UploadParameters parameters;
  parameters[L"url"] = L"http://example.test/a?b=\"c\"&d\r\n";
  parameters[L"CrashUptime"] = L"12";
  parameters[L"email"] = L"";
  parameters[L"origin"] = L"\u00e9\u4e2d\U0001F600";
  const std::string file("PK\x03\x04\0\r\n--x", 10);
  MultipartBody body;
  ASSERT_TRUE(buildMultipartBody(boundary, parameters, L"tavra-crashlog-7-1.zip", L"file", file,
                                 wideToUtf8, &body));
  const std::string b = "---------------------------0000123400007FFF";
  const std::string expected =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"CrashUptime\"\r\n\r\n12\r\n" + "--" +
      b + "\r\nContent-Disposition: form-data; name=\"email\"\r\n\r\n\r\n" + "--" + b +
      "\r\nContent-Disposition: form-data; name=\"origin\"\r\n\r\n" +
      "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\r\n" + "--" + b +
      "\r\nContent-Disposition: form-data; name=\"url\"\r\n\r\n" +
      "http://example.test/a?b=\"c\"&d\r\n\r\n" + "--" + b +
      "\r\nContent-Disposition: form-data; name=\"file\"; " +
      "filename=\"tavra-crashlog-7-1.zip\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
      file + "\r\n" + "--" + b + "--\r\n";
  EXPECT_EQ(bodyText(body), expected);
}

TEST(MultipartBodyTest, WithoutParametersHoldsOnlyTheFilePartAndTheClosingLine) {
  MultipartBody body;
  ASSERT_TRUE(buildMultipartBody(L"-B-", UploadParameters(), L"dir\\a b.zip", L"upload",
                                 std::string_view(), wideToUtf8, &body));
  EXPECT_EQ(
      bodyText(body),
      "---B-\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"dir\\a b.zip\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n\r\n---B---\r\n");
}

TEST(MultipartBodyTest, RefusesAnEmptyBoundaryPathOrPartName) {
  const struct {
    const wchar_t* boundary;
    const wchar_t* path;
    const wchar_t* partName;
    WideToUtf8Function toUtf8;
  } cases[] = {
      {L"", L"a.zip", L"file", wideToUtf8},
      {L"B", L"", L"file", wideToUtf8},
      {L"B", L"a.zip", L"", wideToUtf8},
      {L"B", L"a.zip", L"file", emptyConversion},
  };
  for (const auto& c : cases) {
    MultipartBody body;
    EXPECT_FALSE(buildMultipartBody(c.boundary, UploadParameters(), c.path, c.partName, "x",
                                    c.toUtf8, &body));
    EXPECT_EQ(body.bytes, nullptr);
    EXPECT_EQ(body.size, 0u);
  }
}

TEST(MultipartBodyTest, ParameterNamesArePrintableAsciiWithoutQuotes) {
  const struct {
    std::wstring name;
    bool valid;
  } cases[] = {
      {L"stacktraceId", true},
      {L" ", true},
      {L"a b~{}", true},
      {std::wstring(1, wchar_t{127}), true},
      {L"", false},
      {L"a\"b", false},
      {L"a\rb", false},
      {std::wstring(1, wchar_t{31}), false},
      {std::wstring(1, wchar_t{128}), false},
      {L"caf\u00e9", false},
      {std::wstring(L"a\0b", 3), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidParameterName(c.name), c.valid) << testing::PrintToString(c.name);
    UploadParameters parameters = {{L"good", L"x"}, {c.name, L"value"}};
    EXPECT_EQ(hasValidParameterNames(parameters), c.valid);
  }
}

// Hands out scripted numbers, then 0x7FFF for ever.
struct ScriptedDraws {
  std::vector<unsigned> values;
  size_t next = 0;
};

unsigned drawScripted(void* context) {
  ScriptedDraws* draws = static_cast<ScriptedDraws*>(context);
  return draws->next < draws->values.size() ? draws->values[draws->next++] : 0x7FFF;
}

TEST(MultipartBodyTest, ABoundaryThatAnyTextOfTheBodyHoldsIsDrawnAgain) {
  // The boundaries that the script below draws, in turn.
  const std::wstring first = makeMultipartBoundary(0x29, 0x4823);
  const std::wstring second = makeMultipartBoundary(0x18BE, 0x6784);
  const std::wstring third = makeMultipartBoundary(0x0001, 0x0002);
  const std::string firstText = wideToUtf8(first);
  const struct {
    const char* what;
    UploadParameters parameters;
    std::wstring path;
    std::wstring partName;
    std::string file;
    const std::wstring* chosen;
  } cases[] = {
      {"nothing holds it", {{L"url", L"http://a.test/"}}, L"a.zip", L"file", "PK", &first},
      {"a value, as a part of its own",
       {{L"url", L"x\r\n--" + first + L"\r\nContent-Disposition: form-data; name=\"y\""}},
       L"a.zip",
       L"file",
       "PK",
       &second},
      {"a value, bare", {{L"email", L"\u00e9" + first + L"--"}}, L"a.zip", L"file", "PK", &second},
      {"a name", {{L"n" + first, L"v"}}, L"a.zip", L"file", "PK", &second},
      {"the path", {}, L"dir\\" + first + L".zip", L"file", "PK", &second},
      {"the part name", {}, L"a.zip", first, "PK", &second},
      {"the file's bytes",
       {},
       L"a.zip",
       L"file",
       std::string("PK\0\r\n--", 7) + firstText + "\r\n",
       &second},
      {"the first two, in two places",
       {{L"a", first}, {L"b", L"--" + second + L"--"}},
       L"a.zip",
       L"file",
       "PK",
       &third},
      // Only the whole boundary counts: its first 42 characters are harmless.
      {"a value with all but its last character",
       {{L"url", first.substr(0, 42)}},
       L"a.zip",
       L"file",
       "PK",
       &first},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedDraws draws{{0x29, 0x4823, 0x18BE, 0x6784, 0x0001, 0x0002}};
    std::wstring boundary = L"untouched";
    ASSERT_TRUE(chooseMultipartBoundary(&drawScripted, &draws, c.parameters, c.path, c.partName,
                                        c.file, wideToUtf8, &boundary));
    EXPECT_EQ(boundary, *c.chosen);
    // The body built with it holds the boundary only where it delimits.
    MultipartBody body;
    ASSERT_TRUE(
        buildMultipartBody(boundary, c.parameters, c.path, c.partName, c.file, wideToUtf8, &body));
    const std::string text = bodyText(body);
    const std::string delimiter = wideToUtf8(boundary);
    size_t count = 0;
    for (size_t at = text.find(delimiter); at != std::string::npos;
         at = text.find(delimiter, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, c.parameters.size() + 2);
  }
}

TEST(MultipartBodyTest, GivesUpWhenEveryDrawnBoundaryIsHeld) {
  // Every draw gives the same boundary, and the file holds it.
  const std::wstring only = makeMultipartBoundary(0x7FFF, 0x7FFF);
  ScriptedDraws draws;
  std::wstring boundary = L"untouched";
  EXPECT_FALSE(chooseMultipartBoundary(&drawScripted, &draws, UploadParameters(), L"a.zip", L"file",
                                       "PK" + wideToUtf8(only), wideToUtf8, &boundary));
  EXPECT_EQ(boundary, L"untouched");
  // Each attempt drew two numbers, and no more attempts were made.
  ScriptedDraws counted{std::vector<unsigned>(2 * kMaxBoundaryDraws, 0x7FFF)};
  EXPECT_FALSE(chooseMultipartBoundary(&drawScripted, &counted, UploadParameters(), L"a.zip",
                                       L"file", "PK" + wideToUtf8(only), wideToUtf8, &boundary));
  EXPECT_EQ(counted.next, counted.values.size());
  // One free boundary as the last chance is taken.
  std::vector<unsigned> lastChance(2 * kMaxBoundaryDraws - 2, 0x7FFF);
  lastChance.push_back(5);
  lastChance.push_back(6);
  ScriptedDraws late{lastChance};
  EXPECT_TRUE(chooseMultipartBoundary(&drawScripted, &late, UploadParameters(), L"a.zip", L"file",
                                      "PK" + wideToUtf8(only), wideToUtf8, &boundary));
  EXPECT_EQ(boundary, makeMultipartBoundary(5, 6));
}

}  // namespace
}  // namespace tavra
