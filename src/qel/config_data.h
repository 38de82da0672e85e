// Configuration items: a key, a value text and child items, in file order. Keys compare without
// regard to ASCII case and may repeat.
#pragma once

#include <memory>
#include <vector>

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class ConfigData {
 public:
  ConfigData() = default;
  ConfigData(String key, String value) : key_(std::move(key)), value_(std::move(value)) {}
  ConfigData(const ConfigData&) = delete;
  ConfigData& operator=(const ConfigData&) = delete;

  const String& GetKey() const { return key_; }
  const String& GetValue() const { return value_; }
  void SetValue(String value) { value_ = std::move(value); }

  u32 GetChildCount() const { return u32(children_.size()); }
  const ConfigData& GetChild(u32 index) const { return *children_[index]; }
  ConfigData& AddChild(String key, String value = String());

  // The first child of that key, or null.
  const ConfigData* FindChild(const char* key) const;
  u32 CountChildren(const char* key) const;

  // The first child's value read as a number, a flag or a text; the default when the child is
  // absent or (numbers) its text is not entirely a number.
  f32 GetFloat(const char* key, f32 defaultValue) const;
  i32 GetInt(const char* key, i32 defaultValue) const;
  // "true", "yes" and non-zero numbers are set; "false", "no" and 0 are clear.
  bool GetBool(const char* key, bool defaultValue) const;
  String GetText(const char* key, const char* defaultValue = "") const;

  // Reads a whole text as a float; false (and value unchanged) when it is not one.
  static bool ParseFloat(const String& text, f32& value);

 private:
  String key_;
  String value_;
  std::vector<std::unique_ptr<ConfigData>> children_;
};

}  // namespace Qel
