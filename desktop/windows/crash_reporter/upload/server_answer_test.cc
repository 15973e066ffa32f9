#include "desktop/windows/crash_reporter/upload/server_answer.h"

#include <string>

#include "gtest/gtest.h"

namespace tavra {
namespace {

TEST(ServerAnswerTest, DecimalFieldsAreDigitsOnly) {
  const struct {
    std::wstring text;
    bool valid;
    uint64_t value;
  } cases[] = {
      {L"200", true, 200},
      {L"0", true, 0},
      {L"0303", true, 303},
      {L"2000", true, 2000},
      {L"999999999999999999", true, 999999999999999999ull},
      {L"1000000000000000000", false, 0},
      {L"", false, 0},
      {L"-1", false, 0},
      {L"+1", false, 0},
      {L" 200", false, 0},
      {L"200 ", false, 0},
      {L"2O0", false, 0},
      {L"abc", false, 0},
      {std::wstring(L"20\0", 3), false, 0},
      {L"\uff12\uff10\uff10", false, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 77;
    EXPECT_EQ(parseDecimalField(c.text, &value), c.valid) << testing::PrintToString(c.text);
    EXPECT_EQ(value, c.valid ? c.value : 77u) << testing::PrintToString(c.text);
  }
}

TEST(ServerAnswerTest, OnlyAnAbsoluteWebAddressOfPlainCharactersIsAUsableLocation) {
  const std::wstring fullLength =
      L"http://s/r?id=1&pad=" + std::wstring(kMaxLocationChars - 20, L'x');
  ASSERT_EQ(fullLength.size(), kMaxLocationChars);
  const struct {
    std::wstring location;
    bool usable;
  } cases[] = {
      {L"http://127.0.0.1:8080/report?id=00112233aabbccdd&x=1", true},
      {L"https://crash.example/r?id=A&x=%22~!$()*+,;=:@[]{}|^", true},
      {L"http://s", true},
      {fullLength, true},
      {fullLength + L"x", false},
      {L"http://s/?id=1&" + std::wstring(3 * 1024, L'x'), false},
      {L"javascript:alert(1)//http://s/?id=1&", false},
      {L"file:///C:/Windows/win.ini?id=1&", false},
      {L"data:text/html,x?id=1&", false},
      {L"ftp://s/?id=1&", false},
      {L"/report?id=1&x=1", false},
      {L"//s/?id=1&", false},
      {L"HTTP://s/?id=1&", false},
      {L"http:s/?id=1&", false},
      {L"http://", false},
      {L"http:///path?id=1&", false},
      {L"http://?id=1&", false},
      {L"", false},
      {L"http://s/?id=1&x y", false},
      {L"http://s/?id=1&\tx", false},
      {L"http://s/?id=1&\r\nX-Forged: 1", false},
      {L"http://s/?id=1&\x01", false},
      {L"http://s/?id=1&\x7f", false},
      {std::wstring(L"http://s/?id=1&\0x", 17), false},
      {L"http://s/?id=1&\"onmouseover=\"x", false},
      {L"http://s/?id=1&'x", false},
      {L"http://s/?id=1&`x", false},
      {L"http://s/?id=1&<script>", false},
      {L"http://s\\x/?id=1&", false},
      {L"http://s/?id=1&\u00e9", false},
      {L"http://s/?id=1&\uff0f", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isUsableLocation(c.location), c.usable)
        << testing::PrintToString(c.location.substr(0, 80));
  }
}

TEST(ServerAnswerTest, ReportIdLiesBetweenTheMarkerAndTheNextAmpersand) {
  const struct {
    const wchar_t* location;
    bool found;
    const wchar_t* id;
  } cases[] = {
      {L"http://s/report?id=ABC&x=1", true, L"ABC"},
      {L"?id=&", true, L""},
      {L"/r?id=A?id=B&", true, L"A?id=B"},
      {L"/r?x=1&y=2?id=Q&z", true, L"Q"},
      {L"/r?id=ABC", false, nullptr},
      {L"/r?x=1&id=ABC&", false, nullptr},
      {L"/r?ID=ABC&", false, nullptr},
      {L"", false, nullptr},
      {L"?id", false, nullptr},
  };
  for (const auto& c : cases) {
    std::wstring id = L"untouched";
    EXPECT_EQ(findReportId(c.location, &id), c.found) << c.location;
    EXPECT_EQ(id, c.found ? c.id : L"untouched") << c.location;
  }
}

}  // namespace
}  // namespace tavra
