// Strict JSON reading on nlohmann/json, without exceptions.
//
// Text is accepted only as strict JSON: no comments, no trailing commas, no
// text after the value, valid UTF-8 in strings. Nesting deeper than
// kMaxJsonDepth is refused before parsing, so hostile input cannot exhaust
// the stack of code that later walks the tree recursively.
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

// Parses `text` into `root`. False, leaving `root` untouched, on any error.
bool parseJson(std::string_view text, nlohmann::json* root);

// Reads the file and parses it with parseJson. False when the file is
// missing, unreadable, larger than kMaxJsonFileSize or not valid JSON.
bool readJsonFile(const std::wstring& path, nlohmann::json* root);

// Follows a path of keys separated by '.' ("a.b.c": key "c" of object "b" of
// object "a") from `root`. Null when a key is missing or when `root` or a
// value on the way is not an object. Every piece between dots names a key,
// so "" names the key "" of `root`.
const nlohmann::json* findDottedPath(const nlohmann::json& root, std::string_view dottedPath);

}  // namespace tavra

#endif  // RUNTIME_JSON_READER_H_
