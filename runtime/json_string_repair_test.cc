#include "runtime/json_string_repair.h"

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

namespace tavra {
namespace {

using namespace std::string_literals;

const std::string kFffd = "\xEF\xBF\xBD";

struct RepairCase {
  const char* name;
  std::string text;
  std::string expected;  // Empty: the text needs no repair.
};

TEST(JsonStringRepairTest, RepairsOnlyWhatCannotBeDecodedInsideStrings) {
  const RepairCase cases[] = {
      // Nothing to repair.
      {"ascii", R"({"a": "b c", "d": [1, true]})", ""},
      {"valid multibyte", "[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF\"]",
       ""},
      {"escaped pair", R"(["\ud83d\ude00", "\uD83D\uDE00"])", ""},
      {"escaped non-surrogates", R"(["\u00e9\uFFFD\uD7FF\uE000\u0000"])", ""},
      {"bad bytes outside strings", "[1, \xFF] \xC3", ""},
      {"bad escapes stay for the parser", R"(["\x", "\u12", "\uZZZZ"])", ""},
      {"escaped quote then plain text", R"(["a\"b", "\\"])", ""},

      // Lone and misordered surrogate escapes.
      {"lone high", R"({"k": "a\uD800b"})", R"({"k": "a\uFFFDb"})"},
      {"lone low", R"({"k": "\udc00"})", R"({"k": "\uFFFD"})"},
      {"reversed pair", R"(["\uDC00\uD800"])", R"(["\uFFFD\uFFFD"])"},
      {"high before high-low", R"(["\uD800\uD801\uDC01"])", R"(["\uFFFD\uD801\uDC01"])"},
      {"high before another escape", R"(["\uD800\n"])", R"(["\uFFFD\n"])"},
      {"high before a broken escape", R"(["\uD800\u12"])", R"(["\uFFFD\u12"])"},
      {"high at the very end", R"(["\uD800)", R"(["\uFFFD)"},
      {"in a key", R"({"\uDFFF": false})", R"({"\uFFFD": false})"},

      // Ill-formed UTF-8, one replacement per maximal ill-formed subpart.
      {"0xFF",
       "[\"a\xFF"
       "b\"]",
       "[\"a" + kFffd + "b\"]"},
      {"lone continuation", "[\"\x80\xBF\"]", "[\"" + kFffd + kFffd + "\"]"},
      {"overlong two-byte", "[\"\xC0\xAF\"]", "[\"" + kFffd + kFffd + "\"]"},
      {"overlong three-byte", "[\"\xE0\x80\xAF\"]", "[\"" + kFffd + kFffd + kFffd + "\"]"},
      {"encoded surrogate", "[\"\xED\xA0\x80\"]", "[\"" + kFffd + kFffd + kFffd + "\"]"},
      {"above U+10FFFF", "[\"\xF4\x90\x80\x80\"]", "[\"" + kFffd + kFffd + kFffd + kFffd + "\"]"},
      {"truncated three-byte", "[\"\xE2\x82\"]", "[\"" + kFffd + "\"]"},
      {"truncated four-byte", "[\"\xF0\x9F\x98x\"]", "[\"" + kFffd + "x\"]"},
      {"truncated at the end of the text", "[\"\xE2", "[\"" + kFffd},
      {"in a key", "{\"\xFE\": false}", "{\"" + kFffd + "\": false}"},
      {"after an escaped quote", "[\"\\\"\xFF\"]", "[\"\\\"" + kFffd + "\"]"},
      {"escaped backslash ends the string", "[\"\\\\\", \"\xFF\"]",
       "[\"\\\\\", \"" + kFffd + "\"]"},
      {"after a backslash", "[\"\\\xFF\"]", "[\"\\" + kFffd + "\"]"},
      {"both kinds", "[\"\\uD800\xC3\"]", "[\"\\uFFFD" + kFffd + "\"]"},
  };
  for (const RepairCase& c : cases) {
    std::string repaired = "untouched";
    bool changed = repairJsonStrings(c.text, &repaired);
    if (c.expected.empty()) {
      EXPECT_FALSE(changed) << c.name;
      EXPECT_EQ("untouched", repaired) << c.name;
      continue;
    }
    ASSERT_TRUE(changed) << c.name;
    EXPECT_EQ(c.expected, repaired) << c.name;
    EXPECT_LE(repaired.size(), 3 * c.text.size()) << c.name;
    // Repairing twice changes nothing more.
    std::string again;
    EXPECT_FALSE(repairJsonStrings(repaired, &again)) << c.name;
  }
  EXPECT_FALSE(repairJsonStrings("[\"\xFF\"]", nullptr));
}

// Whatever the damage inside strings, the repaired text parses, and keeps every
// value that the damage did not touch.
TEST(JsonStringRepairTest, RepairedTextParsesStrictly) {
  const std::string damaged[] = {
      "\xFF",
      "\xC3",
      "\xC0\xAF",
      "\xED\xA0\x80",
      "\xF4\x90\x80\x80",
      "\\uD800",
      "\\uDC00\\uD800",
      "\xF0\x9F\x98",
      "\x80"
      "abc",
      "\\uDBFF\xF0\x9F\x98\x80",
  };
  for (const std::string& piece : damaged) {
    std::string text = "{\"title\": \"x" + piece + "y\", \"" + piece +
                       "\": 1, \"user_experience_metrics\": {\"reporting_enabled\": false}}";
    ASSERT_FALSE(nlohmann::json::accept(text)) << piece;
    std::string repaired;
    ASSERT_TRUE(repairJsonStrings(text, &repaired)) << piece;
    nlohmann::json root = nlohmann::json::parse(repaired, nullptr, false);
    ASSERT_FALSE(root.is_discarded()) << piece;
    EXPECT_EQ(false, root["user_experience_metrics"]["reporting_enabled"]) << piece;
    const std::string& title = root["title"].get_ref<const std::string&>();
    EXPECT_EQ('x', title.front()) << piece;
    EXPECT_EQ('y', title.back()) << piece;
    EXPECT_NE(std::string::npos, title.find(kFffd)) << piece;
  }
}

}  // namespace
}  // namespace tavra
