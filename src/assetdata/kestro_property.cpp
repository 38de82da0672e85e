#include "assetdata/kestro_property.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/stream.h"
#include "qel/string.h"

namespace {

bool IsTrueText(const Qel::PString& text) {
  return text.EqualsIgnoreCase("true") || text.EqualsIgnoreCase("1") || text.EqualsIgnoreCase("t");
}

}  // namespace

void KestroProperty::SetFromText(const Qel::PString&) {}

Qel::PString KestroProperty::GetText() const { return Qel::PString(); }

KestroProperty* KestroPropertyRefCounted::AddReference() {
  count_.Increment();
  return this;
}

void KestroPropertyRefCounted::ReleaseReference() {
  if (count_.Decrement() == 0) delete this;
}

void KestroPropertyAssetID::SetFromText(const Qel::PString& text) {
  kuid_ = KUID::Parse(text.CStr(), false);
}

Qel::PString KestroPropertyAssetID::GetText() const { return kuid_.ToString(); }

KestroPropertyRef& KestroPropertyRef::operator=(const KestroPropertyRef& other) {
  // The new reference comes first, so assigning a holder to itself keeps the property alive.
  KestroProperty* taken = other.property_ ? other.property_->AddReference() : nullptr;
  Release();
  property_ = taken;
  return *this;
}

KestroPropertyRef& KestroPropertyRef::operator=(KestroPropertyRef&& other) noexcept {
  if (this != &other) {
    Release();
    property_ = other.property_;
    other.property_ = nullptr;
  }
  return *this;
}

void KestroPropertyRef::Attach(KestroProperty* property) {
  Release();
  property_ = property;
}

void KestroPropertyRef::Copy(const KestroPropertyRef& other) { *this = other; }

void KestroPropertyRef::Release() {
  KestroProperty* held = property_;
  property_ = nullptr;
  if (held) held->ReleaseReference();
}

Qel::PString KestroPropertyRef::GetText() const {
  return property_ ? property_->GetText() : Qel::PString();
}

KestroPropertyRef MakeAssetIDProperty(const Qel::PString& name, const KUID& kuid) {
  KestroPropertyRef ref;
  ref.Attach(new KestroPropertyAssetID(name, kuid));
  return ref;
}

void WriteKestroProperty(TStream& stream, const KestroPropertyRef& property) {
  if (property.IsNull()) {
    stream.WriteU32(KestroProperty::kTypeNone);
    return;
  }
  stream.WriteU32(property->GetTypeCode());
  stream.WritePString(property->GetName());
  stream.WritePString(property->GetText());
}

bool ReadKestroProperty(TStream& stream, KestroPropertyRef& property) {
  property.Release();
  u32 type = 0;
  if (!stream.ReadU32(type)) return false;
  if (type == KestroProperty::kTypeNone) return true;
  Qel::PString name;
  Qel::PString text;
  // A form cut short names no property: half a name must not pass for a real one.
  if (!stream.ReadPString(name) || !stream.ReadPString(text)) return false;
  if (type == KestroProperty::kTypeAssetID) {
    property = MakeAssetIDProperty(name, KUID::Parse(text.CStr(), false));
  }
  return true;
}

void KestroPropertyFourCC::SetFromText(const Qel::PString& text) {
  char padded[4] = {' ', ' ', ' ', ' '};
  const std::string_view view = text.View();
  for (size_t i = 0; i < 4 && i < view.size(); ++i) padded[i] = view[i];
  *value_ = (u32(u8(padded[0])) << 24) | (u32(u8(padded[1])) << 16) | (u32(u8(padded[2])) << 8) |
            u32(u8(padded[3]));
}

Qel::PString KestroPropertyFourCC::GetText() const {
  const char chars[4] = {char(*value_ >> 24), char(*value_ >> 16), char(*value_ >> 8),
                         char(*value_)};
  // The code is written as a C text, so a zero byte ends it.
  size_t length = 0;
  while (length < 4 && chars[length] != '\0') ++length;
  return Qel::PString(chars, length);
}

void KestroPropertyInt::SetFromText(const Qel::PString& text) {
  *value_ = i32(std::strtol(text.CStr(), nullptr, 10));
}

Qel::PString KestroPropertyInt::GetText() const {
  return Qel::String::Format("%d", *value_).ToPString();
}

void KestroPropertyFloat::SetFromText(const Qel::PString& text) {
  *value_ = std::strtof(text.CStr(), nullptr);
}

Qel::PString KestroPropertyFloat::GetText() const {
  return Qel::String::Format("%g", double(*value_)).ToPString();
}

void KestroPropertyBitMask::SetFromText(const Qel::PString& text) {
  if (IsTrueText(text)) {
    *value_ |= mask_;
  } else {
    *value_ &= ~mask_;
  }
}

void KestroPropertyBool::SetFromText(const Qel::PString& text) {
  *value_ = IsTrueText(text) ? 1 : 0;
}

Qel::PString KestroPropertyBool::GetText() const {
  return Qel::PString(*value_ != 0 ? "true" : "false");
}

void KestroPropertyText::SetFromText(const Qel::PString& text) { *value_ = text; }

Qel::PString KestroPropertyText::GetText() const { return *value_; }

void KestroPropertyCall::SetFromText(const Qel::PString& text) {
  Qel::PStringPair pair(GetName(), text);
  setter_.Invoke(reinterpret_cast<intptr_t>(&pair));
}

Qel::PString KestroPropertyCall::GetText() const {
  Qel::PStringPair pair(GetName(), Qel::PString());
  getter_.Invoke(reinterpret_cast<intptr_t>(&pair));
  return pair.second;
}
