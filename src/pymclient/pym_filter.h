// Asset-search filters: a tree of elements that the daemon evaluates against its database. Each
// element has a kind name, a display text, a four-character tag and a body in byte form (see
// pym_filter_codes.h for the codes and the layout).
#pragma once

#include <memory>
#include <set>
#include <vector>

#include "core/chunked_list.h"
#include "core/kuid.h"
#include "pymclient/pym_filter_codes.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class TStream;

class PymFilterElement {
 public:
  PymFilterElement(const PymFilterElement&) = delete;
  PymFilterElement& operator=(const PymFilterElement&) = delete;
  virtual ~PymFilterElement() = default;

  // The kind name; "unknown" for a kind or flag index outside its list.
  virtual Qel::PString GetTypeName() const = 0;
  virtual Qel::String GetValueText() const = 0;
  virtual u32 GetTypeTag() const = 0;
  // Writes the body (not the tag); false when the stream reports an error afterwards.
  virtual bool Write(TStream& stream) const = 0;
  // Replaces the fields by the body read from the stream; false when the body is short or
  // malformed (the stream's error then tells which).
  virtual bool Read(TStream& stream) = 0;
  // True when both elements are of the same class and write the same body.
  virtual bool Equals(const PymFilterElement& other) const = 0;

  // A new element with the defaults of its tag; null for an unknown tag (0 included).
  static std::unique_ptr<PymFilterElement> Create(u32 tag);

 protected:
  PymFilterElement() = default;
};

class PymFilterElementGroup final : public PymFilterElement {
 public:
  // First flag 1, not negated.
  explicit PymFilterElementGroup(std::unique_ptr<PymFilterElement> first = nullptr);

  // Appends a child; a null element is ignored.
  void AddElement(std::unique_ptr<PymFilterElement> element);
  void SetNegated(bool negated) { negated_ = negated; }
  // Appends a new negated group holding the element; a null element is ignored.
  void AddNegated(std::unique_ptr<PymFilterElement> element);

  bool GetFirstFlag() const { return firstFlag_; }
  bool IsNegated() const { return negated_; }
  u32 GetChildCount() const { return u32(children_.size()); }
  const PymFilterElement* GetChild(u32 index) const {
    return index < children_.size() ? children_[index].get() : nullptr;
  }

  Qel::PString GetTypeName() const override;
  Qel::String GetValueText() const override;
  u32 GetTypeTag() const override { return PymFilterCodes::kTagGroup; }
  bool Write(TStream& stream) const override;
  // Drops the present children first. On failure the children read so far stay.
  bool Read(TStream& stream) override;
  bool Equals(const PymFilterElement& other) const override;

 private:
  friend std::unique_ptr<PymFilterElement> ReadFilterElement(TStream& stream);

  // level: the nesting level of the element about to be read; the root is level 1.
  static std::unique_ptr<PymFilterElement> ReadElementAt(TStream& stream, u32 level);
  bool ReadAt(TStream& stream, u32 level);

  bool firstFlag_ = true;
  bool negated_ = false;
  std::vector<std::unique_ptr<PymFilterElement>> children_;
};

class PymFilterElementString final : public PymFilterElement {
 public:
  // Kind 0, empty text, not exact.
  PymFilterElementString() = default;
  // An asset name (kind 0) in double quotes loses them and becomes exact.
  PymFilterElementString(u32 kind, Qel::PString text);

  u32 GetKind() const { return kind_; }
  const Qel::PString& GetText() const { return text_; }
  bool IsExact() const { return exact_; }

  Qel::PString GetTypeName() const override;
  // The text with '\', '(' and ')' escaped by a backslash, and a byte below 32 written as a
  // backslash and the byte plus 64.
  Qel::String GetValueText() const override;
  u32 GetTypeTag() const override { return PymFilterCodes::kTagString; }
  bool Write(TStream& stream) const override;
  bool Read(TStream& stream) override;
  bool Equals(const PymFilterElement& other) const override;

 private:
  u32 kind_ = PymFilterCodes::kStringAssetName;
  Qel::PString text_;
  bool exact_ = false;
};

class PymFilterElementBool final : public PymFilterElement {
 public:
  explicit PymFilterElementBool(u32 flagIndex) : flagIndex_(flagIndex) {}

  u32 GetFlagIndex() const { return flagIndex_; }

  Qel::PString GetTypeName() const override;
  Qel::String GetValueText() const override { return "true"; }
  u32 GetTypeTag() const override { return PymFilterCodes::kTagBool; }
  bool Write(TStream& stream) const override;
  bool Read(TStream& stream) override;
  bool Equals(const PymFilterElement& other) const override;

 private:
  u32 flagIndex_;
};

class PymFilterElementInt final : public PymFilterElement {
 public:
  // Bounds 0, both exclusive.
  explicit PymFilterElementInt(u32 kind = PymFilterCodes::kIntAuthor) : kind_(kind) {}

  void SetRange(i32 low, i32 high, bool lowInclusive, bool highInclusive);
  u32 GetKind() const { return kind_; }
  i32 GetLow() const { return low_; }
  i32 GetHigh() const { return high_; }
  bool IsLowInclusive() const { return lowInclusive_; }
  bool IsHighInclusive() const { return highInclusive_; }

  Qel::PString GetTypeName() const override;
  // "[low,high]", with "(" or ")" for an exclusive bound.
  Qel::String GetValueText() const override;
  u32 GetTypeTag() const override { return PymFilterCodes::kTagInt; }
  bool Write(TStream& stream) const override;
  bool Read(TStream& stream) override;
  bool Equals(const PymFilterElement& other) const override;

 private:
  u32 kind_;
  i32 low_ = 0;
  i32 high_ = 0;
  bool lowInclusive_ = false;
  bool highInclusive_ = false;
};

class PymFilterElementTimestamp final : public PymFilterElement {
 public:
  // Bounds 0, both exclusive.
  explicit PymFilterElementTimestamp(u32 kind = PymFilterCodes::kTimestampInstallation)
      : kind_(kind) {}

  void SetRange(u64 low, u64 high, bool lowInclusive, bool highInclusive);
  u32 GetKind() const { return kind_; }
  u64 GetLow() const { return low_; }
  u64 GetHigh() const { return high_; }
  bool IsLowInclusive() const { return lowInclusive_; }
  bool IsHighInclusive() const { return highInclusive_; }

  Qel::PString GetTypeName() const override;
  // As the Int text, with the full unsigned 64-bit bounds.
  Qel::String GetValueText() const override;
  u32 GetTypeTag() const override { return PymFilterCodes::kTagTimestamp; }
  bool Write(TStream& stream) const override;
  bool Read(TStream& stream) override;
  bool Equals(const PymFilterElement& other) const override;

 private:
  u32 kind_;
  u64 low_ = 0;
  u64 high_ = 0;
  bool lowInclusive_ = false;
  bool highInclusive_ = false;
};

class PymFilterElementAssetID final : public PymFilterElement {
 public:
  // Kind 0, no KUIDs.
  PymFilterElementAssetID() = default;
  // Kind 0 with every KUID of the list, duplicates merged.
  explicit PymFilterElementAssetID(const ChunkedList<KUID, 128>& kuids);

  u32 GetKind() const { return kind_; }
  const std::set<KUID>& GetKUIDs() const { return kuids_; }

  Qel::PString GetTypeName() const override;
  // The KUIDs' canonical texts in set order, joined by ", ".
  Qel::String GetValueText() const override;
  u32 GetTypeTag() const override { return PymFilterCodes::kTagAssetID; }
  bool Write(TStream& stream) const override;
  // Replaces the set by the KUIDs read.
  bool Read(TStream& stream) override;
  bool Equals(const PymFilterElement& other) const override;

 private:
  u32 kind_ = PymFilterCodes::kAssetIDAssetId;
  std::set<KUID> kuids_;
};

// Writes u32 0 for a null element, else the element's tag and body. False when the stream
// reports an error afterwards.
bool WriteFilterElement(TStream& stream, const PymFilterElement* element);
// Null for a null or unknown tag, a body that does not read, or a tree nested deeper than
// PymFilterCodes::kMaxNesting.
std::unique_ptr<PymFilterElement> ReadFilterElement(TStream& stream);
// a Equals b and b Equals a; two nulls are equal, a null and an element are not.
bool FilterElementsEqual(const PymFilterElement* a, const PymFilterElement* b);
