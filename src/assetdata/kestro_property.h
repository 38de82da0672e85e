// Named values with a text form. Results-log entries name their asset through the asset-id kind;
// the bound kinds convert a variable owned elsewhere to and from text.
#pragma once

#include "core/kuid.h"
#include "core/thread_call.h"
#include "qel/critical_section.h"
#include "qel/pstring.h"
#include "qel/types.h"

class TStream;

class KestroProperty {
 public:
  // Type codes of the stream form. 0 names no property: it stands for an empty holder.
  enum : u32 {
    kTypeNone = 0,
    kTypeFourCC = 1,
    kTypeInt = 2,
    kTypeFloat = 3,
    kTypeBitMask = 4,
    kTypeBool = 5,
    kTypeText = 6,
    kTypeCall = 7,
    kTypeAssetID = 8,
  };

  KestroProperty(const Qel::PString& name, u32 typeCode) : name_(name), typeCode_(typeCode) {}
  KestroProperty(const KestroProperty&) = delete;
  KestroProperty& operator=(const KestroProperty&) = delete;
  virtual ~KestroProperty() = default;

  virtual void SetFromText(const Qel::PString& text);
  virtual Qel::PString GetText() const;
  // Returns the property itself with one more reference.
  virtual KestroProperty* AddReference() = 0;
  virtual void ReleaseReference() {}

  const Qel::PString& GetName() const { return name_; }
  u32 GetTypeCode() const { return typeCode_; }

 private:
  Qel::PString name_;
  u32 typeCode_;
};

// Created with a count of 1; the last release deletes the object.
class KestroPropertyRefCounted : public KestroProperty {
 public:
  KestroPropertyRefCounted(const Qel::PString& name, u32 typeCode)
      : KestroProperty(name, typeCode) {}

  KestroProperty* AddReference() override;
  void ReleaseReference() override;
  i32 GetReferenceCount() const { return count_.Get(); }

 private:
  Qel::ProtectedLong count_{1};
};

class KestroPropertyAssetID final : public KestroPropertyRefCounted {
 public:
  KestroPropertyAssetID(const Qel::PString& name, const KUID& kuid)
      : KestroPropertyRefCounted(name, kTypeAssetID), kuid_(kuid) {}

  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;
  const KUID& GetKUID() const { return kuid_; }

 private:
  KUID kuid_;
};

// The owning holder: one reference to a property, or nothing.
class KestroPropertyRef {
 public:
  KestroPropertyRef() = default;
  KestroPropertyRef(const KestroPropertyRef& other) { Copy(other); }
  KestroPropertyRef(KestroPropertyRef&& other) noexcept : property_(other.property_) {
    other.property_ = nullptr;
  }
  ~KestroPropertyRef() { Release(); }
  KestroPropertyRef& operator=(const KestroPropertyRef& other);
  KestroPropertyRef& operator=(KestroPropertyRef&& other) noexcept;

  // Takes over the caller's reference (a property just created holds a count of 1).
  void Attach(KestroProperty* property);
  // Holds other's property with a reference of its own.
  void Copy(const KestroPropertyRef& other);
  void Release();

  KestroProperty* Get() const { return property_; }
  KestroProperty* operator->() const { return property_; }
  bool IsNull() const { return property_ == nullptr; }
  // The held property's text, or the empty string.
  Qel::PString GetText() const;

 private:
  KestroProperty* property_ = nullptr;
};

// Makes a holder on a new asset-id property.
KestroPropertyRef MakeAssetIDProperty(const Qel::PString& name, const KUID& kuid);

// Stream form: u32 type code (0 for an empty holder, and nothing after it), then the name and
// the value text as length-prefixed strings.
void WriteKestroProperty(TStream& stream, const KestroPropertyRef& property);
// The holder is emptied first. Only asset-id properties are rebuilt; any other code consumes its
// two strings and leaves the holder empty. False when the stream ended or failed inside the form
// (the holder then stays empty).
bool ReadKestroProperty(TStream& stream, KestroPropertyRef& property);

// Bound kinds: each converts a variable that the caller owns, which must outlive the property.

// A four-character code, first character in the most significant byte.
class KestroPropertyFourCC final : public KestroPropertyRefCounted {
 public:
  KestroPropertyFourCC(const Qel::PString& name, u32* value)
      : KestroPropertyRefCounted(name, kTypeFourCC), value_(value) {}
  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;

 private:
  u32* value_;
};

class KestroPropertyInt final : public KestroPropertyRefCounted {
 public:
  KestroPropertyInt(const Qel::PString& name, i32* value)
      : KestroPropertyRefCounted(name, kTypeInt), value_(value) {}
  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;

 private:
  i32* value_;
};

class KestroPropertyFloat final : public KestroPropertyRefCounted {
 public:
  KestroPropertyFloat(const Qel::PString& name, f32* value)
      : KestroPropertyRefCounted(name, kTypeFloat), value_(value) {}
  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;

 private:
  f32* value_;
};

// Some bits of a u32 set or cleared together; it has no text of its own.
class KestroPropertyBitMask final : public KestroPropertyRefCounted {
 public:
  KestroPropertyBitMask(const Qel::PString& name, u32* value, u32 mask)
      : KestroPropertyRefCounted(name, kTypeBitMask), value_(value), mask_(mask) {}
  void SetFromText(const Qel::PString& text) override;

 private:
  u32* value_;
  u32 mask_;
};

class KestroPropertyBool final : public KestroPropertyRefCounted {
 public:
  KestroPropertyBool(const Qel::PString& name, u8* value)
      : KestroPropertyRefCounted(name, kTypeBool), value_(value) {}
  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;

 private:
  u8* value_;
};

class KestroPropertyText final : public KestroPropertyRefCounted {
 public:
  KestroPropertyText(const Qel::PString& name, Qel::PString* value)
      : KestroPropertyRefCounted(name, kTypeText), value_(value) {}
  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;

 private:
  Qel::PString* value_;
};

// Reads and writes through two calls. Each receives the address of a Qel::PStringPair
// {property name, value text}: the getter fills in the value text, the setter reads it.
class KestroPropertyCall final : public KestroPropertyRefCounted {
 public:
  KestroPropertyCall(const Qel::PString& name, const TCXCallback& getter, const TCXCallback& setter)
      : KestroPropertyRefCounted(name, kTypeCall), getter_(getter), setter_(setter) {}
  void SetFromText(const Qel::PString& text) override;
  Qel::PString GetText() const override;

 private:
  TCXCallback getter_;
  TCXCallback setter_;
};
