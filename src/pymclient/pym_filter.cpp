#include "pymclient/pym_filter.h"

#include <iterator>
#include <string_view>
#include <utility>

#include "core/pod_array.h"
#include "core/stream.h"

namespace {

namespace codes = PymFilterCodes;

constexpr const char* kUnknownName = "unknown";

constexpr const char* kStringKindNames[] = {"asset-name", "category-list", "era-list",
                                            "keyword-list", "region-list"};
constexpr const char* kIntKindNames[] = {"local-rating", "author", "version"};
constexpr const char* kTimestampKindNames[] = {"installation-timestamp", "modification-timestamp"};
constexpr const char* kAssetIDKindNames[] = {"asset-id", "profile-map"};
constexpr const char* kFlagNames[] = {
    "local",
    "vantry",
    "location-unknown",
    "locally-available",
    "up-to-date",
    "obsolete",
    "locally-modified",
    "valid-name",
    "open-for-edit",
    "in-archive",
    "locally-enabled",
    "has-missing-dependencies",
    "has-faulty-dependencies",
    "faulty",
    "from-tintforge",
    "builtin",
    "listing-privilege",
    "commit-privilege",
    "warnings",
    "has-script-source",
    "compatible",
    "in-base-content-set",
};
static_assert(std::size(kStringKindNames) == codes::kStringKindCount);
static_assert(std::size(kIntKindNames) == codes::kIntKindCount);
static_assert(std::size(kTimestampKindNames) == codes::kTimestampKindCount);
static_assert(std::size(kAssetIDKindNames) == codes::kAssetIDKindCount);
static_assert(std::size(kFlagNames) == codes::kFlagCount);

template <size_t N>
Qel::PString NameOf(const char* const (&names)[N], u32 index) {
  return Qel::PString(index < N ? names[index] : kUnknownName);
}

bool StreamOk(const TStream& stream) { return stream.GetError() == TStream::kErrorNone; }

char OpenBracket(bool inclusive) { return inclusive ? '[' : '('; }
char CloseBracket(bool inclusive) { return inclusive ? ']' : ')'; }

// The KUID stream form (content id, then the packed word), telling whether both words were there.
bool ReadKUIDWords(TStream& stream, KUID& out) {
  const KUID::Packed null = KUID::Pack(kNullKUID);
  u32 contentId = 0;
  u32 word = 0;
  const bool ok = stream.ReadU32(contentId, null.contentId) && stream.ReadU32(word, null.word);
  out = ok ? KUID::Unpack(word, contentId) : kNullKUID;
  return ok;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Factory and stream entry points

std::unique_ptr<PymFilterElement> PymFilterElement::Create(u32 tag) {
  switch (tag) {
    case codes::kTagGroup:
      return std::make_unique<PymFilterElementGroup>();
    case codes::kTagBool:
      return std::make_unique<PymFilterElementBool>(codes::kFlagLocallyAvailable);
    case codes::kTagAssetID:
      return std::make_unique<PymFilterElementAssetID>();
    case codes::kTagInt:
      return std::make_unique<PymFilterElementInt>(codes::kIntAuthor);
    case codes::kTagTimestamp:
      return std::make_unique<PymFilterElementTimestamp>(codes::kTimestampInstallation);
    case codes::kTagString:
      return std::make_unique<PymFilterElementString>();
    default:
      return nullptr;
  }
}

bool WriteFilterElement(TStream& stream, const PymFilterElement* element) {
  if (!element) {
    stream.WriteU32(codes::kTagNone);
    return StreamOk(stream);
  }
  stream.WriteU32(element->GetTypeTag());
  return element->Write(stream);
}

std::unique_ptr<PymFilterElement> ReadFilterElement(TStream& stream) {
  return PymFilterElementGroup::ReadElementAt(stream, 1);
}

bool FilterElementsEqual(const PymFilterElement* a, const PymFilterElement* b) {
  if (!a || !b) return a == b;
  return a->Equals(*b) && b->Equals(*a);
}

// ---------------------------------------------------------------------------------------------
// Group

PymFilterElementGroup::PymFilterElementGroup(std::unique_ptr<PymFilterElement> first) {
  AddElement(std::move(first));
}

void PymFilterElementGroup::AddElement(std::unique_ptr<PymFilterElement> element) {
  if (element) children_.push_back(std::move(element));
}

void PymFilterElementGroup::AddNegated(std::unique_ptr<PymFilterElement> element) {
  if (!element) return;
  auto group = std::make_unique<PymFilterElementGroup>(std::move(element));
  group->SetNegated(true);
  children_.push_back(std::move(group));
}

Qel::PString PymFilterElementGroup::GetTypeName() const { return Qel::PString("group"); }

Qel::String PymFilterElementGroup::GetValueText() const {
  Qel::String text;
  for (size_t i = 0; i < children_.size(); ++i) {
    if (i) text += ", ";
    const PymFilterElement& child = *children_[i];
    const Qel::PString name = child.GetTypeName();
    text.Append(name.CStr(), name.Length());
    text += ":(";
    text += child.GetValueText();
    text += ")";
  }
  return text;
}

bool PymFilterElementGroup::Write(TStream& stream) const {
  stream.WriteBool(firstFlag_);
  stream.WriteBool(negated_);
  stream.WriteU32(u32(children_.size()));
  for (const auto& child : children_) {
    if (!WriteFilterElement(stream, child.get())) return false;
  }
  return StreamOk(stream);
}

bool PymFilterElementGroup::Read(TStream& stream) { return ReadAt(stream, 1); }

std::unique_ptr<PymFilterElement> PymFilterElementGroup::ReadElementAt(TStream& stream, u32 level) {
  // Each level costs stack in reading, writing, printing, comparing and destroying.
  if (level > codes::kMaxNesting) return nullptr;
  u32 tag = codes::kTagNone;
  if (!stream.ReadU32(tag)) return nullptr;
  std::unique_ptr<PymFilterElement> element = PymFilterElement::Create(tag);
  if (!element) return nullptr;
  const bool ok = tag == codes::kTagGroup
                      ? static_cast<PymFilterElementGroup&>(*element).ReadAt(stream, level)
                      : element->Read(stream);
  return ok ? std::move(element) : nullptr;
}

bool PymFilterElementGroup::ReadAt(TStream& stream, u32 level) {
  children_.clear();
  u32 count = 0;
  const bool ok = stream.ReadBool(firstFlag_) && stream.ReadBool(negated_) && stream.ReadU32(count);
  if (!ok) return false;
  // Every child takes at least its tag, so a hostile count ends at the first short read.
  for (u32 i = 0; i < count; ++i) {
    std::unique_ptr<PymFilterElement> child = ReadElementAt(stream, level + 1);
    if (!child) return false;
    children_.push_back(std::move(child));
  }
  return true;
}

bool PymFilterElementGroup::Equals(const PymFilterElement& other) const {
  const auto* group = dynamic_cast<const PymFilterElementGroup*>(&other);
  if (!group || group->children_.size() != children_.size()) return false;
  if (group->negated_ != negated_ || group->firstFlag_ != firstFlag_) return false;
  // Every Equals is symmetric, so one direction per pair keeps deep trees linear.
  for (size_t i = 0; i < children_.size(); ++i) {
    if (!children_[i]->Equals(*group->children_[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// String

PymFilterElementString::PymFilterElementString(u32 kind, Qel::PString text)
    : kind_(kind), text_(std::move(text)) {
  const std::string_view view = text_.View();
  if (kind_ == codes::kStringAssetName && view.size() >= 2 && view.front() == '"' &&
      view.back() == '"') {
    const u32 length = text_.Length();
    text_.Left(length - 1);
    text_.KeepRight(length - 2);
    exact_ = true;
  }
}

Qel::PString PymFilterElementString::GetTypeName() const { return NameOf(kStringKindNames, kind_); }

Qel::String PymFilterElementString::GetValueText() const {
  PodArray8 bytes;
  for (const char c : text_.View()) {
    const u8 byte = u8(c);
    if (byte == '\\' || byte == '(' || byte == ')') {
      bytes.PushBack('\\');
      bytes.PushBack(byte);
    } else if (byte < 32) {
      bytes.PushBack('\\');
      bytes.PushBack(u8(byte + 64));
    } else {
      bytes.PushBack(byte);
    }
  }
  return Qel::String(reinterpret_cast<const char*>(bytes.Data()), bytes.Count());
}

bool PymFilterElementString::Write(TStream& stream) const {
  stream.WriteU32(kind_);
  stream.WriteString(Qel::String(text_));
  stream.WriteBool(exact_);
  return StreamOk(stream);
}

bool PymFilterElementString::Read(TStream& stream) {
  return stream.ReadU32(kind_) && stream.ReadPString(text_) && stream.ReadBool(exact_);
}

bool PymFilterElementString::Equals(const PymFilterElement& other) const {
  const auto* o = dynamic_cast<const PymFilterElementString*>(&other);
  return o && o->kind_ == kind_ && o->text_ == text_ && o->exact_ == exact_;
}

// ---------------------------------------------------------------------------------------------
// Bool

Qel::PString PymFilterElementBool::GetTypeName() const { return NameOf(kFlagNames, flagIndex_); }

bool PymFilterElementBool::Write(TStream& stream) const {
  stream.WriteU32(flagIndex_);
  return StreamOk(stream);
}

bool PymFilterElementBool::Read(TStream& stream) { return stream.ReadU32(flagIndex_); }

bool PymFilterElementBool::Equals(const PymFilterElement& other) const {
  const auto* o = dynamic_cast<const PymFilterElementBool*>(&other);
  return o && o->flagIndex_ == flagIndex_;
}

// ---------------------------------------------------------------------------------------------
// Int

void PymFilterElementInt::SetRange(i32 low, i32 high, bool lowInclusive, bool highInclusive) {
  low_ = low;
  high_ = high;
  lowInclusive_ = lowInclusive;
  highInclusive_ = highInclusive;
}

Qel::PString PymFilterElementInt::GetTypeName() const { return NameOf(kIntKindNames, kind_); }

Qel::String PymFilterElementInt::GetValueText() const {
  return Qel::String::Format("%c%d,%d%c", OpenBracket(lowInclusive_), low_, high_,
                             CloseBracket(highInclusive_));
}

bool PymFilterElementInt::Write(TStream& stream) const {
  stream.WriteU32(kind_);
  stream.WriteI32(low_);
  stream.WriteI32(high_);
  stream.WriteBool(lowInclusive_);
  stream.WriteBool(highInclusive_);
  return StreamOk(stream);
}

bool PymFilterElementInt::Read(TStream& stream) {
  return stream.ReadU32(kind_) && stream.ReadI32(low_) && stream.ReadI32(high_) &&
         stream.ReadBool(lowInclusive_) && stream.ReadBool(highInclusive_);
}

bool PymFilterElementInt::Equals(const PymFilterElement& other) const {
  const auto* o = dynamic_cast<const PymFilterElementInt*>(&other);
  return o && o->kind_ == kind_ && o->low_ == low_ && o->high_ == high_ &&
         o->lowInclusive_ == lowInclusive_ && o->highInclusive_ == highInclusive_;
}

// ---------------------------------------------------------------------------------------------
// Timestamp

void PymFilterElementTimestamp::SetRange(u64 low, u64 high, bool lowInclusive, bool highInclusive) {
  low_ = low;
  high_ = high;
  lowInclusive_ = lowInclusive;
  highInclusive_ = highInclusive;
}

Qel::PString PymFilterElementTimestamp::GetTypeName() const {
  return NameOf(kTimestampKindNames, kind_);
}

Qel::String PymFilterElementTimestamp::GetValueText() const {
  return Qel::String::Format("%c%llu,%llu%c", OpenBracket(lowInclusive_),
                             static_cast<unsigned long long>(low_),
                             static_cast<unsigned long long>(high_), CloseBracket(highInclusive_));
}

bool PymFilterElementTimestamp::Write(TStream& stream) const {
  stream.WriteU32(kind_);
  stream.WriteU64(low_);
  stream.WriteU64(high_);
  stream.WriteBool(lowInclusive_);
  stream.WriteBool(highInclusive_);
  return StreamOk(stream);
}

bool PymFilterElementTimestamp::Read(TStream& stream) {
  return stream.ReadU32(kind_) && stream.ReadU64(low_) && stream.ReadU64(high_) &&
         stream.ReadBool(lowInclusive_) && stream.ReadBool(highInclusive_);
}

bool PymFilterElementTimestamp::Equals(const PymFilterElement& other) const {
  const auto* o = dynamic_cast<const PymFilterElementTimestamp*>(&other);
  return o && o->kind_ == kind_ && o->low_ == low_ && o->high_ == high_ &&
         o->lowInclusive_ == lowInclusive_ && o->highInclusive_ == highInclusive_;
}

// ---------------------------------------------------------------------------------------------
// AssetID

PymFilterElementAssetID::PymFilterElementAssetID(const ChunkedList<KUID, 128>& kuids) {
  for (auto it = kuids.Begin(); !it.IsEnd(); it.Next()) kuids_.insert(*it);
}

Qel::PString PymFilterElementAssetID::GetTypeName() const {
  return NameOf(kAssetIDKindNames, kind_);
}

Qel::String PymFilterElementAssetID::GetValueText() const {
  Qel::String text;
  for (const KUID& kuid : kuids_) {
    if (!text.IsEmpty()) text += ", ";
    const Qel::PString name = kuid.ToString();
    text.Append(name.CStr(), name.Length());
  }
  return text;
}

bool PymFilterElementAssetID::Write(TStream& stream) const {
  stream.WriteU32(kind_);
  stream.WriteU32(u32(kuids_.size()));
  for (const KUID& kuid : kuids_) KUID::Write(kuid, stream);
  return StreamOk(stream);
}

bool PymFilterElementAssetID::Read(TStream& stream) {
  kuids_.clear();
  u32 count = 0;
  if (!stream.ReadU32(kind_) || !stream.ReadU32(count)) return false;
  // Stops at the first short KUID, so a hostile count costs no more than the bytes present.
  for (u32 i = 0; i < count; ++i) {
    KUID kuid;
    if (!ReadKUIDWords(stream, kuid)) return false;
    kuids_.insert(kuid);
  }
  return true;
}

bool PymFilterElementAssetID::Equals(const PymFilterElement& other) const {
  const auto* o = dynamic_cast<const PymFilterElementAssetID*>(&other);
  return o && o->kind_ == kind_ && o->kuids_ == kuids_;
}
