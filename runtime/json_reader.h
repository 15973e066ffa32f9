// Strict JSON reading on nlohmann/json, without exceptions.
//
// Text is accepted only as strict JSON: no comments, no trailing commas, no
// text after the value, no raw NUL byte. Nesting deeper than kMaxJsonDepth is
// refused before parsing, so hostile input cannot exhaust the stack of code
// that later walks the tree recursively.
//
// Strings must be valid UTF-8 without lone surrogate escapes, unless the
// caller asks for JsonStrings::kReplaceUndecodable: then what cannot be
// decoded is replaced by U+FFFD (see json_string_repair.h) and the rest of
// the text is judged as strictly as ever. Settings files that other software
// writes use that, so that one careless string does not hide every other
// value of the file.
//
// Safe on any thread; nothing is shared.
#ifndef RUNTIME_JSON_READER_H_
#define RUNTIME_JSON_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavra {

// Deepest nesting of arrays and objects that is accepted.
constexpr size_t kMaxJsonDepth = 512;
// Largest JSON file that readJsonFile reads.
constexpr uint64_t kMaxJsonFileSize = 16u * 1024 * 1024;

enum class JsonStrings {
  kStrict,              // An undecodable string makes the text invalid.
  kReplaceUndecodable,  // Undecodable pieces of strings become U+FFFD.
};

// Parses `text` into `root`. False, leaving `root` untouched, on any error.
bool parseJson(std::string_view text, nlohmann::json* root,
               JsonStrings strings = JsonStrings::kStrict);

// Reads the file and parses it with parseJson. False when the file is
// missing, unreadable, larger than kMaxJsonFileSize or not valid JSON.
bool readJsonFile(const std::wstring& path, nlohmann::json* root,
                  JsonStrings strings = JsonStrings::kStrict);

// Follows a path of keys separated by '.' ("a.b.c": key "c" of object "b" of
// object "a") from `root`. Null when a key is missing or when `root` or a
// value on the way is not an object. Every piece between dots names a key,
// so "" names the key "" of `root`.
const nlohmann::json* findDottedPath(const nlohmann::json& root, std::string_view dottedPath);

}  // namespace tavra

#endif  // RUNTIME_JSON_READER_H_
