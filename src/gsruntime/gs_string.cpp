#include "gsruntime/gs_string.h"

#include <algorithm>
#include <string>

#include "gsruntime/gs_script_instance.h"

namespace GSRuntime {

GSString::GSString(GSTrackedRegistry* registry) : GSObjectReference(kObjectString) {
  reference_ = GSScriptInstance::MakeEmbedded(this, registry);
}

GSString::GSString(GSTrackedRegistry* registry, const char* text)
    : GSObjectReference(kObjectString), Qel::String(text) {
  reference_ = GSScriptInstance::MakeEmbedded(this, registry);
}

GSString::GSString(GSTrackedRegistry* registry, const Qel::String& text)
    : GSObjectReference(kObjectString), Qel::String(text) {
  reference_ = GSScriptInstance::MakeEmbedded(this, registry);
}

GSString::GSString(GSTrackedRegistry* registry, const Qel::PString& text)
    : GSObjectReference(kObjectString), Qel::String(text) {
  reference_ = GSScriptInstance::MakeEmbedded(this, registry);
}

GSString::GSString(GSTrackedRegistry* registry, const GSString* other)
    : GSObjectReference(kObjectString),
      Qel::String(other != nullptr ? static_cast<const Qel::String&>(*other) : Qel::String()) {
  reference_ = GSScriptInstance::MakeEmbedded(this, registry);
}

GSString::~GSString() { GSScriptInstance::DropEmbedded(reference_); }

GSString* GSString::FromReference(ScriptRef reference) {
  GSObjectReference* object = GSObjectReference::FromReference(reference);
  return object != nullptr && object->kind == kObjectString ? static_cast<GSString*>(object)
                                                            : nullptr;
}

namespace {

// A negative start is 0; a negative end, or one beyond the length, is the length. False when
// the range is reversed.
bool ClampText(i64 length, i32 start, i32 end, i64* from, i64* to) {
  *from = std::max(start, 0);
  *to = end < 0 || end > length ? length : end;
  return *to >= *from;
}

}  // namespace

bool GSString::Substring(const GSString& source, i32 start, i32 end, GSString* target) {
  i64 from = 0;
  i64 to = 0;
  if (target == nullptr || !ClampText(source.Size(), start, end, &from, &to)) return false;
  std::string part = source.Std().substr(size_t(from), size_t(to - from));
  target->Std() = std::move(part);
  return true;
}

bool GSString::ReplaceRange(i32 start, i32 end, const GSString* other) {
  const i64 length = i64(Size());
  i64 from = 0;
  i64 to = 0;
  if (!ClampText(length, start, end, &from, &to)) return false;
  const std::string inserted = other != nullptr ? other->Std() : std::string();
  if (from + i64(inserted.size()) + (length - to) > kMaxLength) return false;
  Std().replace(size_t(from), size_t(to - from), inserted);
  return true;
}

bool GSString::SetChar(i32 index, char c) {
  if (index < 0 || index >= kMaxLength) return false;
  std::string& text = Std();
  if (size_t(index) >= text.size()) text.resize(size_t(index) + 1, ' ');
  text[size_t(index)] = c;
  return true;
}

}  // namespace GSRuntime
