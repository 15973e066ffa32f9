#include "runtime/json_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/file_util.h"
#include "runtime/json_settings_store.h"
#include "runtime/scoped_temp_dir.h"

namespace tavra {
namespace {

using nlohmann::json;

bool parses(std::string_view text) {
  json root;
  return parseJson(text, &root);
}

TEST(JsonReaderTest, AcceptsStrictJson) {
  json root;
  ASSERT_TRUE(parseJson(R"({"a": [1, 2.5, "x", true, null], "b": {"c": false}})", &root));
  ASSERT_TRUE(root.is_object());
  EXPECT_EQ(5u, root["a"].size());
  EXPECT_TRUE(parses("  [ ]\r\n"));
  EXPECT_TRUE(parses("\"only a string\""));
  EXPECT_TRUE(parses("42"));
  // Escapes, including a surrogate pair, are decoded to UTF-8.
  ASSERT_TRUE(parseJson(R"(["\u00e9\ud83d\ude00\"\\"])", &root));
  EXPECT_EQ("\xc3\xa9\xf0\x9f\x98\x80\"\\", root[0].get<std::string>());
}

TEST(JsonReaderTest, RejectsTrailingCommasAndComments) {
  EXPECT_FALSE(parses(R"({"a": 1,})"));
  EXPECT_FALSE(parses("[1, 2,]"));
  EXPECT_FALSE(parses("[1,,2]"));
  EXPECT_FALSE(parses("// note\n{}"));
  EXPECT_FALSE(parses("{} // note"));
  EXPECT_FALSE(parses(R"({/* note */ "a": 1})"));
  EXPECT_FALSE(parses("# note\n{}"));
}

TEST(JsonReaderTest, RejectsMalformedText) {
  const char* samples[] = {"",         "   ",         "{",          "}",        "[1 2]",
                           "{'a': 1}", "{a: 1}",      "{\"a\" 1}",  "tru",      "01",
                           "1.",       "NaN",         "[1] [2]",    "{} x",     "\"open",
                           "\"\\x\"",  "\"\\ud800\"", "[1e999999]", "\"tab\t\""};
  for (const char* sample : samples) EXPECT_FALSE(parses(sample)) << sample;
  json root = json::array({1});
  EXPECT_FALSE(parseJson("{", &root));
  EXPECT_EQ(json::array({1}), root);  // A failed parse leaves the target alone.
  EXPECT_FALSE(parseJson("{}", nullptr));
}

TEST(JsonReaderTest, RejectsNulBytesAndInvalidUtf8) {
  using namespace std::string_literals;
  EXPECT_FALSE(parses("{}\0"s));
  EXPECT_FALSE(parses("{\"a\": 1}\0{\"b\": ]"s));  // Nothing hides behind a NUL.
  EXPECT_FALSE(parses("\0{}"s));
  EXPECT_FALSE(parses("{\"a\0b\": 1}"s));
  EXPECT_FALSE(parses("[\"\xff\"]"));
  EXPECT_FALSE(parses("[\"\xc3\"]"));          // Truncated sequence.
  EXPECT_FALSE(parses("[\"\xc0\xaf\"]"));      // Overlong encoding.
  EXPECT_FALSE(parses("[\"\xed\xa0\x80\"]"));  // Encoded surrogate.
  EXPECT_FALSE(parses("[\xff]"));
  EXPECT_TRUE(parses("[\"\\u0000\"]"));  // An escaped NUL is a valid string.
}

std::string nested(size_t depth, const std::string& open, const std::string& close) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += open;
  text += "1";
  for (size_t i = 0; i < depth; ++i) text += close;
  return text;
}

// Read leniently, undecodable pieces of strings become U+FFFD and the values
// around them are kept; everything else is judged as strictly as before.
TEST(JsonReaderTest, LenientStringsReplaceOnlyWhatCannotBeDecoded) {
  using namespace std::string_literals;
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::string title;  // The value of "t" after a lenient parse.
    bool strictRefuses;
  };
  const Case decodable[] = {
      {R"({"t": "a\ud800b"})", "a" + replacement + "b", true},
      {R"({"t": "\uDC00\uD800"})", replacement + replacement, true},
      {"{\"t\": \"\xFF\"}", replacement, true},
      {"{\"t\": \"\xC0\xAF\"}", replacement + replacement, true},
      {"{\"t\": \"\xED\xA0\x80\"}", replacement + replacement + replacement, true},
      {"{\"\xC3\": 1, \"t\": \"ok\"}", "ok", true},
      {R"({"t": "\ud83d\ude00"})", "\xF0\x9F\x98\x80", false},
      {"\xEF\xBB\xBF{\"t\": \"\xFF\"}", replacement, true},  // After a byte order mark.
  };
  for (const Case& c : decodable) {
    json root;
    EXPECT_EQ(!c.strictRefuses, parseJson(c.text, &root)) << c.text;
    ASSERT_TRUE(parseJson(c.text, &root, JsonStrings::kReplaceUndecodable)) << c.text;
    EXPECT_EQ(json(c.title), root["t"]) << c.text;
  }
  const std::string undecodable = "\"\xFF\"";
  const std::string stillRefused[] = {
      "{\"a\": " + undecodable + ",}",                          // Trailing comma.
      "// note\n[" + undecodable + "]",                         // Comment.
      "[" + undecodable + "]\0"s,                               // NUL byte.
      "[" + undecodable + "] [1]",                              // Text after the value.
      "[\xFF]",                                                 // Outside a string.
      "[\"\\x\xFF\"]",                                          // Bad escape.
      "[\"\\u12\"]",                                            // Short \u escape.
      "[\"\x01\"]",                                             // Raw control byte.
      "{\"t\": \"\xFF",                                         // Truncated.
      nested(kMaxJsonDepth + 1, "[" + undecodable + ",", "]"),  // Too deep.
  };
  for (const std::string& text : stillRefused) {
    json root = json::array({1});
    EXPECT_FALSE(parseJson(text, &root, JsonStrings::kReplaceUndecodable)) << text;
    EXPECT_EQ(json::array({1}), root);
  }
}

TEST(JsonReaderTest, LimitsNestingDepth) {
  EXPECT_TRUE(parses(nested(kMaxJsonDepth, "[", "]")));
  EXPECT_FALSE(parses(nested(kMaxJsonDepth + 1, "[", "]")));
  EXPECT_TRUE(parses(nested(kMaxJsonDepth, "{\"k\":", "}")));
  EXPECT_FALSE(parses(nested(kMaxJsonDepth + 1, "{\"k\":", "}")));
  EXPECT_FALSE(parses(std::string(100000, '[')));
  EXPECT_FALSE(parses(nested(100000, "[", "]")));
  EXPECT_FALSE(parses(nested(100000, "{\"k\":[", "]}")));
  // Brackets inside strings, escaped quotes included, are not nesting.
  std::string inString = "[\"\\\"" + std::string(100000, '[') + "\"]";
  EXPECT_TRUE(parses(inString));
  // Depth is the deepest point, not the number of containers.
  std::string wide = "[";
  for (int i = 0; i < 2000; ++i) wide += "[[]],";
  wide += "1]";
  EXPECT_TRUE(parses(wide));
}

TEST(JsonReaderTest, LargeValuesParse) {
  std::string big = "[";
  for (int i = 0; i < 100000; ++i) big += "123456789,";
  big += "0]";
  json root;
  ASSERT_TRUE(parseJson(big, &root));
  EXPECT_EQ(100001u, root.size());
  std::string longString = "\"" + std::string(1 << 20, 'x') + "\"";
  ASSERT_TRUE(parseJson(longString, &root));
  EXPECT_EQ(size_t{1} << 20, root.get_ref<const std::string&>().size());
}

TEST(JsonReaderTest, FindsDottedPaths) {
  json root;
  ASSERT_TRUE(parseJson(R"({"user_experience_metrics": {"reporting_enabled": false},
                             "a": {"b": {"c": "deep"}, "list": [1]}, "": {"": 7},
                             "dotted.key": 1})",
                        &root));
  const json* found = findDottedPath(root, "user_experience_metrics.reporting_enabled");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(json(false), *found);
  found = findDottedPath(root, "a.b.c");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(json("deep"), *found);
  found = findDottedPath(root, "a.b");
  ASSERT_NE(nullptr, found);
  EXPECT_TRUE(found->is_object());
  found = findDottedPath(root, ".");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(json(7), *found);

  EXPECT_EQ(nullptr, findDottedPath(root, "a.missing"));
  EXPECT_EQ(nullptr, findDottedPath(root, "a.b.c.d"));     // "deep" is not an object.
  EXPECT_EQ(nullptr, findDottedPath(root, "a.list.0"));    // Arrays have no keys.
  EXPECT_EQ(nullptr, findDottedPath(root, "dotted.key"));  // Dots always split.
  EXPECT_EQ(nullptr, findDottedPath(root, "a."));
  EXPECT_EQ(nullptr, findDottedPath(json::array({1}), "a"));
  EXPECT_EQ(nullptr, findDottedPath(json(3), ""));
}

class JsonFileTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(temp_.create()); }
  std::wstring write(const std::wstring& name, const std::string& contents) {
    std::wstring path = joinPath(temp_.path(), name);
    EXPECT_TRUE(writeFile(path, contents));
    return path;
  }
  ScopedTempDir temp_;
};

TEST_F(JsonFileTest, ReadsFilesWithinTheSizeLimit) {
  json root;
  EXPECT_TRUE(readJsonFile(write(L"ok.json", R"({"a": 1})"), &root));
  EXPECT_EQ(json(1), root["a"]);
  EXPECT_FALSE(readJsonFile(joinPath(temp_.path(), L"missing.json"), &root));
  EXPECT_FALSE(readJsonFile(temp_.path(), &root));  // A directory.
  EXPECT_FALSE(readJsonFile(write(L"bad.json", "{\"a\": 1,}"), &root));

  std::string padded(kMaxJsonFileSize - 2, ' ');
  EXPECT_TRUE(readJsonFile(write(L"limit.json", padded + "{}"), &root));
  EXPECT_FALSE(readJsonFile(write(L"huge.json", padded + " {}"), &root));
}

TEST_F(JsonFileTest, SettingsStoreGettersCheckTypes) {
  JsonSettingsStore store(write(L"prefs.json", R"({"single_profile": true, "name": "x",
      "flags": {"on": false, "text": "true", "num": 1, "null": null}})"));
  bool flag = false;
  std::string text;
  EXPECT_FALSE(store.getBoolean("single_profile", &flag));  // Not read yet.
  ASSERT_TRUE(store.read());
  ASSERT_TRUE(store.getBoolean("single_profile", &flag));
  EXPECT_TRUE(flag);
  ASSERT_TRUE(store.getBoolean("flags.on", &flag));
  EXPECT_FALSE(flag);
  ASSERT_TRUE(store.getString("flags.text", &text));
  EXPECT_EQ("true", text);

  flag = true;
  text = "kept";
  EXPECT_FALSE(store.getBoolean("flags.text", &flag));
  EXPECT_FALSE(store.getBoolean("flags.num", &flag));
  EXPECT_FALSE(store.getBoolean("flags.null", &flag));
  EXPECT_FALSE(store.getBoolean("flags.missing", &flag));
  EXPECT_FALSE(store.getString("single_profile", &text));
  EXPECT_FALSE(store.getString("flags", &text));
  EXPECT_TRUE(flag);
  EXPECT_EQ("kept", text);
}

TEST_F(JsonFileTest, SettingsStoreRefusesBadFiles) {
  bool flag = false;
  JsonSettingsStore missing(joinPath(temp_.path(), L"missing.json"));
  EXPECT_FALSE(missing.read());
  EXPECT_FALSE(missing.getBoolean("a", &flag));

  JsonSettingsStore notObject(write(L"array.json", "[true]"));
  EXPECT_FALSE(notObject.read());
  EXPECT_FALSE(notObject.getBoolean("0", &flag));

  std::wstring path = write(L"changing.json", R"({"a": true})");
  JsonSettingsStore store(path);
  ASSERT_TRUE(store.read());
  ASSERT_TRUE(store.getBoolean("a", &flag));
  // A failed re-read drops what was read before.
  ASSERT_TRUE(writeFile(path, R"({"a": true)"));
  EXPECT_FALSE(store.read());
  EXPECT_FALSE(store.getBoolean("a", &flag));

  JsonSettingsStore deep(write(L"deep.json", std::string(100000, '{')));
  EXPECT_FALSE(deep.read());
  JsonSettingsStore binary(write(L"binary.json", std::string("{\"a\":\0true}", 11)));
  EXPECT_FALSE(binary.read());
}

}  // namespace
}  // namespace tavra
