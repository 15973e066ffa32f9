#include "desktop/windows/crash_reporter/upload/multipart_body.h"

#include <string>

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

}  // namespace
}  // namespace tavra
