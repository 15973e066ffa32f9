// A read-only settings file in JSON: one object whose values are looked up
// by dotted paths ("a.b" is key "b" of the object under key "a").
#ifndef RUNTIME_JSON_SETTINGS_STORE_H_
#define RUNTIME_JSON_SETTINGS_STORE_H_

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavra {

class JsonSettingsStore {
 public:
  explicit JsonSettingsStore(std::wstring path);

  // Reads and parses the file, with what cannot be decoded in its strings
  // replaced by U+FFFD. False when it is missing, unreadable, too large, not
  // valid JSON or not an object; the store then holds no values. A later call
  // reads the file again. Not thread-safe: the caller serialises calls.
  bool read();

  // False when the store holds nothing, the key is missing or its value has
  // another type; `value` is then left alone.
  bool getBoolean(std::string_view dottedPath, bool* value) const;
  bool getString(std::string_view dottedPath, std::string* value) const;

  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  nlohmann::json root_;
  bool loaded_ = false;
};

}  // namespace tavra

#endif  // RUNTIME_JSON_SETTINGS_STORE_H_
