#include "qel/config_data.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace Qel {

ConfigData& ConfigData::AddChild(String key, String value) {
  children_.push_back(std::make_unique<ConfigData>(std::move(key), std::move(value)));
  return *children_.back();
}

const ConfigData* ConfigData::FindChild(const char* key) const {
  for (const auto& child : children_) {
    if (child->key_.EqualsIgnoreCase(key)) return child.get();
  }
  return nullptr;
}

u32 ConfigData::CountChildren(const char* key) const {
  u32 count = 0;
  for (const auto& child : children_) count += child->key_.EqualsIgnoreCase(key) ? 1 : 0;
  return count;
}

bool ConfigData::ParseFloat(const String& text, f32& value) {
  String trimmed = text;
  trimmed.TrimLeft();
  if (trimmed.IsEmpty()) return false;
  char* end = nullptr;
  errno = 0;
  const f32 parsed = std::strtof(trimmed.CStr(), &end);
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
  if (*end != '\0' || errno == ERANGE || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

f32 ConfigData::GetFloat(const char* key, f32 defaultValue) const {
  const ConfigData* child = FindChild(key);
  f32 value = defaultValue;
  if (child) ParseFloat(child->value_, value);
  return value;
}

i32 ConfigData::GetInt(const char* key, i32 defaultValue) const {
  f32 value = 0.0f;
  const ConfigData* child = FindChild(key);
  if (!child || !ParseFloat(child->value_, value)) return defaultValue;
  if (value >= f32(INT_MAX)) return INT_MAX;
  if (value <= f32(INT_MIN)) return INT_MIN;
  return i32(value);
}

bool ConfigData::GetBool(const char* key, bool defaultValue) const {
  const ConfigData* child = FindChild(key);
  if (!child) return defaultValue;
  const String& text = child->value_;
  if (text.EqualsIgnoreCase("true") || text.EqualsIgnoreCase("yes")) return true;
  if (text.EqualsIgnoreCase("false") || text.EqualsIgnoreCase("no")) return false;
  f32 value = 0.0f;
  return ParseFloat(text, value) ? value != 0.0f : defaultValue;
}

String ConfigData::GetText(const char* key, const char* defaultValue) const {
  const ConfigData* child = FindChild(key);
  return child ? child->value_ : String(defaultValue);
}

}  // namespace Qel
