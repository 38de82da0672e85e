#include "assetdata/soup.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "assetdata/soup_binary.h"
#include "assetdata/soup_convert.h"
#include "core/buffer_stream.h"
#include "core/file_stream.h"
#include "core/log_printf.h"
#include "core/whole_file_writer.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"
#include "qel/file.h"
#include "qel/file_volume.h"
#include "qel/string.h"

// --- FloatArray ---

FloatArray::~FloatArray() { std::free(data_); }

FloatArray::FloatArray(const FloatArray& other) { *this = other; }

FloatArray& FloatArray::operator=(const FloatArray& other) {
  if (this == &other) return *this;
  count_ = 0;
  Reserve(other.count_);
  if (other.count_) std::memcpy(data_, other.data_, sizeof(f32) * other.count_);
  count_ = other.count_;
  return *this;
}

void FloatArray::Reserve(u32 capacity) {
  if (capacity <= capacity_) return;
  const u64 rounded = (u64(capacity) + 7) / 8 * 8;
  if (rounded > 0xFFFFFFFFu / sizeof(f32)) throw std::bad_alloc();
  f32* grown = static_cast<f32*>(std::malloc(size_t(rounded) * sizeof(f32)));
  if (!grown) throw std::bad_alloc();
  if (count_) std::memcpy(grown, data_, sizeof(f32) * count_);
  std::free(data_);
  data_ = grown;
  capacity_ = u32(rounded);
}

void FloatArray::Add(f32 value) {
  if (count_ == capacity_) Reserve(count_ + 1);
  data_[count_++] = value;
}

// --- Soup: the handle ---

Soup Soup::FromChunk(const MPRef<ACSChunk>& node) {
  Soup soup;
  if (ACSChunk::IsPresent(node.Get())) soup.root_ = node;
  return soup;
}

bool Soup::IsNull() const { return !ACSChunk::IsPresent(root_.Get()); }

void Soup::EnsureContainer() {
  if (!root_) root_ = MakeMP<TDBContainerTag>();
}

Soup Soup::GetContainer() {
  EnsureContainer();
  return *this;
}

void Soup::Copy(const Soup& source) {
  // The source is held first: it may be this very handle.
  const MPRef<ACSChunk> from = source.root_;
  root_ = MakeMP<TDBContainerTag>();
  if (from) root_->CopyFrom(from.Get());
}

// --- Reading by name ---

MPRef<ACSChunk> Soup::FindPresent(const Qel::PString& name) const {
  if (!root_) return nullptr;
  const ACSChunk* root = root_.Get();
  MPRef<ACSChunk> child = root->GetChild(name);
  return ACSChunk::IsPresent(child.Get()) ? child : nullptr;
}

MPRef<ACSRawDataCore> Soup::GetConverted(const Qel::PString& name, u32 kind) const {
  const MPRef<ACSChunk> child = FindPresent(name);
  if (!child) return nullptr;
  MPRef<ACSRawDataCore> result;
  ACSConverter::ConvertValue(child->GetKind(), ACSRawDataCore::CreateChunkView(child.Get()), kind,
                             &result);
  return result;
}

bool Soup::HasNamedTag(const Qel::PString& name) const { return bool(FindPresent(name)); }

u32 Soup::GetNamedTagKind(const Qel::PString& name) const {
  const MPRef<ACSChunk> child = FindPresent(name);
  return child ? child->GetKind() : kKindNull;
}

Soup Soup::GetNamedSoup(const Qel::PString& name) const {
  Soup soup;
  MPRef<ACSChunk> child = FindPresent(name);
  if (child && child->GetKind() == kKindContainer) soup.root_ = std::move(child);
  return soup;
}

MPRef<ACSRawDataCore> Soup::GetNamedTagData(const Qel::PString& name) const {
  const MPRef<ACSChunk> child = FindPresent(name);
  return child ? ACSRawDataCore::CreateChunkView(child.Get()) : nullptr;
}

Qel::PString Soup::GetNamedTag(const Qel::PString& name) const {
  const MPRef<ACSRawDataCore> text = GetConverted(name, kKindText);
  const std::string_view view = SoupTextView(text.Get());
  return view.empty() ? Qel::PString() : Qel::PString(view);
}

i32 Soup::GetNamedTagAsInt(const Qel::PString& name, i32 def) const {
  const MPRef<ACSRawDataCore> value = GetConverted(name, kKindInt);
  if (!value || value->GetSize() != 4) return def;
  return i32(ByteOrder::LoadLE32(value->GetData()));
}

bool Soup::GetNamedTagAsBool(const Qel::PString& name, bool def) const {
  return GetNamedTagAsInt(name, def ? 1 : 0) != 0;
}

f32 Soup::GetNamedTagAsFloat(const Qel::PString& name, f32 def) const {
  const MPRef<ACSRawDataCore> value = GetConverted(name, kKindFloat);
  if (!value || value->GetSize() != 4) return def;
  return ByteOrder::LoadLEF32(value->GetData());
}

KUID Soup::GetNamedTagAsKUID(const Qel::PString& name, const KUID& def) const {
  const MPRef<ACSRawDataCore> value = GetConverted(name, kKindKUID);
  if (!value || value->GetSize() != 8) return def;
  return KUID::Unpack(ByteOrder::LoadLE32(value->GetData()),
                      ByteOrder::LoadLE32(value->GetData() + 4));
}

bool Soup::GetCameraValues(FloatArray& out) const {
  out.Clear();
  const MPRef<ACSRawDataCore> value = GetConverted("camera", kKindFloat);
  const u32 count = value ? value->GetSize() / 4 : 0;
  out.Reserve(count);
  for (u32 i = 0; i < count; ++i) out.Add(ByteOrder::LoadLEF32(value->GetData() + 4 * i));
  return count > 0;
}

// --- Reading by index ---

u32 Soup::CountTags() const { return root_ ? root_->CountChildren() : 0; }

Qel::PString Soup::GetIndexedTagName(u32 index) const {
  Qel::PString name;
  MPRef<ACSChunk> child;
  if (!root_ || !root_->GetChildAt(index, name, child)) return Qel::PString();
  return name;
}

Soup Soup::GetIndexedSoup(u32 index) const {
  Soup soup;
  Qel::PString name;
  MPRef<ACSChunk> child;
  if (root_ && root_->GetChildAt(index, name, child) && child &&
      child->GetKind() == kKindContainer) {
    soup.root_ = std::move(child);
  }
  return soup;
}

// --- Writing ---

void Soup::RemoveNamedTag(const Qel::PString& name) {
  if (!root_) return;
  // A name that is not there costs no walk of the children for a node that cannot be found.
  const MPRef<ACSChunk> child = root_->GetChild(name);
  if (!ACSChunk::IsNullChunk(child.Get())) root_->RemoveChild(child);
}

void Soup::SetNamedValue(const Qel::PString& name, u32 kind, const void* bytes, u32 size) {
  EnsureContainer();
  RemoveNamedTag(name);
  root_->AddChild(name, root_->CreateTag(kind, ACSRawDataCore::CreateCopy(bytes, size)));
}

void Soup::SetNamedInt(const Qel::PString& name, i32 value) {
  u8 bytes[4];
  ByteOrder::StoreLE32(bytes, u32(value));
  SetNamedValue(name, kKindInt, bytes, 4);
}

void Soup::SetNamedBool(const Qel::PString& name, bool value) { SetNamedInt(name, value ? 1 : 0); }

void Soup::SetNamedFloat(const Qel::PString& name, f32 value) {
  u8 bytes[4];
  ByteOrder::StoreLEF32(bytes, value);
  SetNamedValue(name, kKindFloat, bytes, 4);
}

void Soup::SetNamedFloatArray(const Qel::PString& name, const FloatArray& values) {
  if (values.IsEmpty()) {
    EnsureContainer();
    RemoveNamedTag(name);
    return;
  }
  std::string bytes(size_t(values.Count()) * 4, '\0');
  for (u32 i = 0; i < values.Count(); ++i) {
    ByteOrder::StoreLEF32(bytes.data() + 4 * i, values.Data()[i]);
  }
  SetNamedValue(name, kKindFloat, bytes.data(), u32(bytes.size()));
}

void Soup::SetNamedTag(const Qel::PString& name, const Qel::PString& text) {
  // The empty text is a text tag without a block.
  SetNamedValue(name, kKindText, text.Get(), text.IsEmpty() ? 0 : text.Length() + 1);
}

void Soup::SetNamedKUID(const Qel::PString& name, const KUID& value) {
  const KUID::Packed packed = KUID::Pack(value);
  u8 bytes[8];
  ByteOrder::StoreLE32(bytes, packed.word);
  ByteOrder::StoreLE32(bytes + 4, packed.contentId);
  SetNamedValue(name, kKindKUID, bytes, 8);
}

void Soup::SetNamedNull(const Qel::PString& name) { SetNamedValue(name, kKindNull, nullptr, 0); }

bool Soup::SetNamedSoup(const Qel::PString& name, Soup& child) {
  EnsureContainer();
  child.EnsureContainer();
  // A soup may not become its own descendant: the tree would never end.
  if (ACSChunk::Reaches(child.root_.Get(), root_.Get())) return false;
  // Held across the removal: the child may be the very tag being replaced.
  const MPRef<ACSChunk> node = child.root_;
  RemoveNamedTag(name);
  root_->AddChild(name, node);
  return true;
}

void Soup::RemoveTag(const Soup& child) {
  if (!root_ || !child.root_) return;
  root_->RemoveChild(child.root_);
}

Qel::PString Soup::GetUniqueTagName() const {
  for (u32 i = 0;; ++i) {
    const Qel::PString name(std::to_string(i));
    if (!HasNamedTag(name)) return name;
  }
}

// --- Printing ---

std::string SoupTextForm(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer stream(&buffer, false);
  WriteSoupText(stream, soup);
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

void Soup::Log() const {
  const std::string text = SoupTextForm(*this);
  LogPrintf("%s", text.c_str());
}

void Soup::PrintToConsole() const {
  const std::string text = SoupTextForm(*this);
  std::fputs(text.c_str(), stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

// --- Files ---

namespace {

enum class SoupForm { kNone, kText, kBinary };

// A non-empty type (less a leading '.') wins over the file name's extension.
SoupForm ChooseForm(const char* type, const char* path) {
  std::string_view chosen;
  if (type && *type) {
    chosen = type[0] == '.' ? type + 1 : type;
  } else if (path) {
    const std::string_view p(path);
    const size_t slash = p.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return SoupForm::kNone;
    chosen = name.substr(dot + 1);
  }
  const std::string t(chosen);
  if (strcasecmp(t.c_str(), "txt") == 0) return SoupForm::kText;
  if (strcasecmp(t.c_str(), "chump") == 0 || strcasecmp(t.c_str(), "cdp") == 0 ||
      strcasecmp(t.c_str(), "cdp2") == 0) {
    return SoupForm::kBinary;
  }
  return SoupForm::kNone;
}

Qel::String JoinedPath(const char* volume, const char* path) {
  return Qel::PathInVolume(Qel::PString(volume), path);
}

}  // namespace

bool Soup::LoadFile(const char* volume, const char* path, const char* type) {
  if (!path) return false;
  TFile file;
  const int opened = (!volume || !*volume)
                         ? file.Open(path, Qel::File::kModeReadShared)
                         : file.Open(JoinedPath(volume, path).CStr(), Qel::File::kModeRead);
  if (opened != 0) return false;
  switch (ChooseForm(type, path)) {
    case SoupForm::kText:
      Clear();
      ParseText(*this, file, false);
      break;
    case SoupForm::kBinary:
      ReadBinary(*this, file);
      break;
    case SoupForm::kNone:
      file.Close();
      return false;
  }
  file.Close();
  return true;
}

bool Soup::SaveFile(const char* volume, const char* path, const char* type, int* error) const {
  if (error != nullptr) *error = 0;
  if (!path) return false;
  const SoupForm form = ChooseForm(type, path);
  if (form == SoupForm::kNone) return false;
  // The old file stays whole until the new one is complete.
  WholeFileWriter writer(JoinedPath(volume, path).CStr());
  bool complete = writer.IsOpen();
  if (complete) {
    TFile file(&writer.File(), false);
    complete =
        form == SoupForm::kText ? (WriteSoupText(file, *this), true) : WriteSoup(file, *this);
    complete = complete && file.GetError() == TStream::kErrorNone;
  }
  complete = complete && writer.Commit();
  if (!complete && error != nullptr) *error = writer.Error();
  return complete;
}

bool Soup::LoadFileSafe(const Qel::PString& volume, const char* path) {
  if (!path) return false;
  Qel::File::Path copy(path);
  copy.ChangeExtension("tmp");
  const char* vol = volume.CStr();
  const Qel::String full = JoinedPath(vol, path);
  const Qel::String fullCopy = JoinedPath(vol, copy.CStr());
  const bool distinct = full != fullCopy;
  if (Qel::File::Exists(full.CStr())) {
    if (LoadFile(vol, path, "txt")) {
      if (distinct) Qel::File::Unlink(fullCopy.CStr());
      return true;
    }
    // A file that exists but cannot be read is kept: it may be the only copy.
  }
  if (distinct && Qel::File::Exists(fullCopy.CStr())) {
    if (LoadFile(vol, copy.CStr(), "txt")) {
      if (!Qel::File::Exists(full.CStr())) Qel::File::Rename(fullCopy.CStr(), full.CStr());
      return true;
    }
  }
  return false;
}
