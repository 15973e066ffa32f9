#include "runtime/json_settings_store.h"

#include <utility>

#include "runtime/json_reader.h"

namespace tavra {

JsonSettingsStore::JsonSettingsStore(std::wstring path) : path_(std::move(path)) {}

bool JsonSettingsStore::read() {
  nlohmann::json root;
  // Settings files come from other software: a string it garbled must not
  // hide the values around it.
  loaded_ = readJsonFile(path_, &root, JsonStrings::kReplaceUndecodable) && root.is_object();
  root_ = loaded_ ? std::move(root) : nlohmann::json();
  return loaded_;
}

bool JsonSettingsStore::getBoolean(std::string_view dottedPath, bool* value) const {
  if (!loaded_ || value == nullptr) return false;
  const nlohmann::json* found = findDottedPath(root_, dottedPath);
  if (found == nullptr || !found->is_boolean()) return false;
  *value = found->get<bool>();
  return true;
}

bool JsonSettingsStore::getString(std::string_view dottedPath, std::string* value) const {
  if (!loaded_ || value == nullptr) return false;
  const nlohmann::json* found = findDottedPath(root_, dottedPath);
  if (found == nullptr || !found->is_string()) return false;
  *value = found->get_ref<const std::string&>();
  return true;
}

}  // namespace tavra
