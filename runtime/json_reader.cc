#include "runtime/json_reader.h"

#include <string>
#include <utility>

#include "runtime/file_util.h"
#include "runtime/json_string_repair.h"

namespace tavra {
namespace {

// The deepest nesting of brackets and braces outside strings. Stops counting
// once `limit` is passed. Malformed text is left for the parser to refuse.
size_t nestingDepth(std::string_view text, size_t limit) {
  size_t depth = 0;
  size_t deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // The escaped character cannot end the string.
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > deepest) {
          deepest = depth;
          if (deepest > limit) return deepest;
        }
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return deepest;
}

}  // namespace

bool parseJson(std::string_view text, nlohmann::json* root, JsonStrings strings) {
  if (root == nullptr) return false;
  if (strings == JsonStrings::kReplaceUndecodable) {
    std::string repaired;
    if (repairJsonStrings(text, &repaired)) return parseJson(repaired, root, JsonStrings::kStrict);
  }
  // The parser takes a raw NUL for the end of the input and would accept
  // whatever follows it; valid JSON never holds one.
  if (text.find('\0') != std::string_view::npos) return false;
  if (nestingDepth(text, kMaxJsonDepth) > kMaxJsonDepth) return false;
  nlohmann::json parsed = nlohmann::json::parse(text.begin(), text.end(), nullptr,
                                                /*allow_exceptions=*/false,
                                                /*ignore_comments=*/false);
  if (parsed.is_discarded()) return false;
  *root = std::move(parsed);
  return true;
}

bool readJsonFile(const std::wstring& path, nlohmann::json* root, JsonStrings strings) {
  std::string contents;
  if (!readFileToString(path, &contents, kMaxJsonFileSize)) return false;
  if (strings == JsonStrings::kReplaceUndecodable) {
    // Only one copy of the file is kept while the tree is built.
    std::string repaired;
    if (repairJsonStrings(contents, &repaired)) contents.swap(repaired);
  }
  return parseJson(contents, root, JsonStrings::kStrict);
}

const nlohmann::json* findDottedPath(const nlohmann::json& root, std::string_view dottedPath) {
  const nlohmann::json* current = &root;
  size_t start = 0;
  for (;;) {
    size_t dot = dottedPath.find('.', start);
    std::string key(dottedPath.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (!current->is_object()) return nullptr;
    auto it = current->find(key);
    if (it == current->end()) return nullptr;
    current = &*it;
    if (dot == std::string_view::npos) return current;
    start = dot + 1;
  }
}

}  // namespace tavra
