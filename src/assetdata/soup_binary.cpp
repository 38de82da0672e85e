#include "assetdata/soup_binary.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "assetdata/soup.h"
#include "core/stream.h"
#include "platform/byte_order.h"
#include "qel/code_page.h"

u8 SoupChunkTypeForKind(u32 kind) {
  switch (kind) {
    case kKindContainer:
      return kChunkContainer;
    case kKindRaw:
      return kChunkRaw;
    case kKindFloat:
      return kChunkFloat;
    case kKindText:
    case kKindTextAlt:
      return kChunkText;
    case kKindInt:
      return kChunkInt;
    case kKindKUID:
      return kChunkKUID;
    default:
      return kChunkNull;
  }
}

u32 SoupKindForChunkType(u8 type) {
  switch (type) {
    case kChunkContainer:
      return kKindContainer;
    case kChunkInt:
      return kKindInt;
    case kChunkFloat:
      return kKindFloat;
    case kChunkText:
      return kKindText;
    case kChunkRaw:
    case kChunkAlignedRaw:
      return kKindRaw;
    case kChunkKUID:
      return kKindKUID;
    default:
      return kKindNull;
  }
}

// --- Writing ---

void MakeSoupHeader(u8* header, u32 bodySize) {
  ByteOrder::StoreLE32(header, kSoupMagic);
  ByteOrder::StoreLE32(header + 4, 1);
  ByteOrder::StoreLE32(header + 8, 0);
  ByteOrder::StoreLE32(header + 12, bodySize);
}

namespace {

// Builds the body in memory, so that chunk sizes are patched without seeking the stream. The
// chunks go after what `bytes` holds; `depth` is how many containers the root's children stand
// below the top of the soup they are written into (0 for the soup itself), which decides how deep
// a container may still go.
class BodyWriter {
 public:
  BodyWriter(std::vector<u8>& bytes, u32 depth) : bytes_(bytes), depth_(depth) {}
  // False when a container too deep was left out or the body outgrew the format.
  bool WriteChildren(const ACSChunk* root);

 private:
  struct Frame {
    MPRef<ACSChunk> node;
    u32 next;
    u32 count;
    size_t sizeAt;  // of the container's own chunk; npos for the root
  };

  static Frame MakeFrame(MPRef<ACSChunk> node, size_t sizeAt);
  bool NextChild(Frame& f, Qel::PString& name, MPRef<ACSChunk>& child);
  bool Patch(size_t sizeAt);
  void Append(const void* data, size_t n) {
    const u8* p = static_cast<const u8*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }

  std::vector<u8>& bytes_;
  const u32 depth_;
};

BodyWriter::Frame BodyWriter::MakeFrame(MPRef<ACSChunk> node, size_t sizeAt) {
  Frame f{std::move(node), 0, 0, sizeAt};
  f.count = f.node->CountChildren();
  return f;
}

bool BodyWriter::NextChild(Frame& f, Qel::PString& name, MPRef<ACSChunk>& child) {
  if (f.next >= f.count) return false;
  ++f.next;
  return f.node->GetChildAt(f.next - 1, name, child);
}

bool BodyWriter::Patch(size_t sizeAt) {
  const size_t size = bytes_.size() - sizeAt - 4;
  if (size > 0xFFFFFFFFu) return false;
  ByteOrder::StoreLE32(bytes_.data() + sizeAt, u32(size));
  return true;
}

bool BodyWriter::WriteChildren(const ACSChunk* root) {
  constexpr size_t kNoChunk = size_t(-1);
  if (!root) return true;
  bool complete = true;
  std::vector<Frame> stack;
  stack.push_back(MakeFrame(MPRef<ACSChunk>(const_cast<ACSChunk*>(root)), kNoChunk));
  while (!stack.empty()) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (!NextChild(stack.back(), name, child)) {
      if (stack.back().sizeAt != kNoChunk && !Patch(stack.back().sizeAt)) complete = false;
      stack.pop_back();
      continue;
    }
    const u32 length = name.Length();
    if (length >= 255) continue;  // the format cannot hold the name: the tag is left out
    const u32 kind = child->GetKind();
    // A container here opens nesting level depth_ + stack.size() below the top.
    if (kind == kKindContainer && depth_ + stack.size() > kMaxSoupDepth) {
      complete = false;
      continue;
    }
    const size_t sizeAt = bytes_.size();
    u8 head[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    Append(head, 4);
    // The empty name is stored as a lone NUL, which every reader accepts.
    const u8 nameByte = u8(length + 1);
    Append(&nameByte, 1);
    if (length) Append(name.CStr(), length);
    const u8 zero = 0;
    Append(&zero, 1);
    const u8 type = SoupChunkTypeForKind(kind);
    Append(&type, 1);
    if (kind == kKindContainer) {
      stack.push_back(MakeFrame(std::move(child), sizeAt));
      continue;
    }
    if (kind != kKindNull && child->GetDataSize() && child->GetData()) {
      Append(child->GetData(), child->GetDataSize());
    }
    if (!Patch(sizeAt)) complete = false;
  }
  return complete;
}

}  // namespace

bool AppendSoupChunks(std::vector<u8>& out, const Soup& soup, u32 depth) {
  return BodyWriter(out, depth).WriteChildren(soup.GetRoot().Get());
}

bool WriteSoup(TStream& out, const Soup& soup) {
  std::vector<u8> bytes;
  const bool complete = AppendSoupChunks(bytes, soup, 0);
  const bool fits = bytes.size() <= 0xFFFFFFFFu - kSoupHeaderSize;
  u8 header[kSoupHeaderSize];
  MakeSoupHeader(header, fits ? u32(bytes.size()) : 0);
  out.WriteBytes(header, kSoupHeaderSize);
  if (!fits) {
    out.SetError(TStream::kErrorTooLong);
    return false;
  }
  if (!bytes.empty()) out.WriteBytes(bytes.data(), u32(bytes.size()));
  return complete;
}

// --- Reading ---

SoupBody::SoupBody(SoupBody&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SoupBody& SoupBody::operator=(SoupBody&& other) noexcept {
  if (this != &other) {
    Reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SoupBody::Allocate(u32 size) {
  Reset();
  if (size == 0) return;
  data_ = static_cast<u8*>(::operator new(size, std::align_val_t(16)));
  size_ = size;
}

void SoupBody::Reset() {
  if (data_) ::operator delete(data_, std::align_val_t(16));
  data_ = nullptr;
  size_ = 0;
}

bool ReadSoupBinary(TStream& in, u32& version, SoupBody& body) {
  body.Reset();
  u32 magic = 0;
  u32 reserved = 0;
  u32 size = 0;
  in.ReadU32(magic, 0);
  in.ReadU32(version, 0xFFFFFFFFu);
  in.ReadU32(reserved, 0);
  in.ReadU32(size, 0);
  if (magic != kSoupMagic) return false;
  if (size == 0) return true;
  const u64 start = in.Tell();
  // Checked before allocating, so that a hostile size costs nothing.
  if (i32(size) < 0 || start + size > in.GetLength()) return false;
  body.Allocate(size);
  const u32 got = in.ReadBytes(body.Data(), size);
  if (got != size || in.Tell() != start + size || !ValidateSoupBody(body.Data(), size)) {
    body.Reset();
  }
  return true;
}

bool ValidateSoupBody(const u8* bytes, u32 length, bool* tooDeep) {
  if (length < kSoupMinChunk) return true;
  if (!bytes) return false;
  // ends[d] is where the region at nesting level d ends; a nested region ends with its chunk.
  u32 ends[kMaxSoupDepth + 1];
  u32 depth = 0;
  ends[0] = length;
  u32 position = 0;
  for (;;) {
    const u32 end = ends[depth];
    if (end - position < kSoupMinChunk) {
      if (depth == 0) return true;
      position = end;
      --depth;
      continue;
    }
    u32 n = 0;
    u32 next = 0;
    if (!CheckSoupChunk(bytes, position, end, n, next)) return false;
    if (bytes[position + 5 + n] == kChunkContainer) {
      if (depth == kMaxSoupDepth) {
        if (tooDeep != nullptr) *tooDeep = true;
        return false;
      }
      ends[++depth] = next;
      position += 6 + n;
      continue;
    }
    position = next;
  }
}

void SoupAlignedPayload(u32 payloadOffset, u32 payloadSize, u32& valueOffset, u32& valueSize) {
  const u32 padding = (16 - payloadOffset % 16) % 16;
  if (padding >= payloadSize) {
    valueOffset = payloadOffset + payloadSize;
    valueSize = 0;
    return;
  }
  valueOffset = payloadOffset + padding;
  valueSize = payloadSize - padding;
}

bool SoupTextNeedsCopy(const u8* payload, u32 size, u32 version) {
  if (size == 0) return false;
  return version == 0 || payload[size - 1] != 0;
}

MPRef<ACSRawDataCore> CopySoupText(const u8* payload, u32 size, u32 version) {
  if (!payload || size == 0) return nullptr;
  const char* text = reinterpret_cast<const char*>(payload);
  const void* nul = std::memchr(text, 0, size);
  const std::string_view shown(text, nul ? size_t(static_cast<const char*>(nul) - text) : size);
  if (version == 0) {
    bool high = false;
    for (const char c : shown) high |= u8(c) >= 0x80;
    if (high) {
      std::string converted;
      if (!Qel::ConvertCodePage(shown, Qel::kCodePageAnsi, Qel::kCodePageUtf8, &converted)) {
        return nullptr;
      }
      return ACSRawDataCore::CreateCopy(converted.c_str(), u32(converted.size() + 1));
    }
  }
  if (payload[size - 1] == 0) return ACSRawDataCore::CreateCopy(payload, size);
  void* bytes = std::malloc(size_t(size) + 1);
  if (!bytes) throw std::bad_alloc();
  std::memcpy(bytes, payload, size);
  static_cast<u8*>(bytes)[size] = 0;
  return ACSRawDataCore::CreateOwned(bytes, size + 1);
}

namespace {

MPRef<ACSChunk> DecodeValue(const u8* body, const SoupChunk& chunk, u32 version) {
  const u8* payload = body + chunk.payloadOffset;
  MPRef<ACSRawDataCore> block;
  u32 kind = SoupKindForChunkType(chunk.type);
  switch (chunk.type) {
    case kChunkInt:
    case kChunkFloat:
    case kChunkRaw:
    case kChunkKUID:
      block = ACSRawDataCore::CreateCopy(payload, chunk.payloadSize);
      break;
    case kChunkAlignedRaw: {
      u32 offset = 0;
      u32 size = 0;
      SoupAlignedPayload(chunk.payloadOffset, chunk.payloadSize, offset, size);
      block = ACSRawDataCore::CreateCopy(body + offset, size);
      break;
    }
    case kChunkText:
      block = SoupTextNeedsCopy(payload, chunk.payloadSize, version)
                  ? CopySoupText(payload, chunk.payloadSize, version)
                  : ACSRawDataCore::CreateCopy(payload, chunk.payloadSize);
      break;
    default:
      kind = kKindNull;
      break;
  }
  return MakeMP<TDBDataTag>(kind, std::move(block));
}

}  // namespace

MPRef<ACSChunk> DecodeSoupBody(const u8* body, u32 size, u32 version) {
  if (!body || size == 0) return nullptr;
  struct Frame {
    ACSChunk* container;
    SoupChunkWalker walker;
  };
  MPRef<ACSChunk> root = MakeMP<TDBContainerTag>();
  std::vector<Frame> stack;
  stack.push_back({root.Get(), SoupChunkWalker(body, 0, size)});
  while (!stack.empty()) {
    SoupChunk chunk;
    if (!stack.back().walker.Next(chunk)) {
      stack.pop_back();
      continue;
    }
    ACSChunk* parent = stack.back().container;
    const Qel::PString name =
        chunk.name.empty() ? Qel::PString() : Qel::PString(chunk.name.data(), chunk.name.size());
    if (chunk.type != kChunkContainer) {
      parent->AddChild(name, DecodeValue(body, chunk, version));
      continue;
    }
    // A body that passed the check is never this deep; others lose what lies below.
    if (stack.size() > kMaxSoupDepth) continue;
    MPRef<ACSChunk> child = MakeMP<TDBContainerTag>();
    ACSChunk* raw = child.Get();
    parent->AddChild(name, std::move(child));
    stack.push_back({raw, SoupChunkWalker(body, chunk.payloadOffset, chunk.payloadSize)});
  }
  return root;
}

bool ReadSoupTree(TStream& in, Soup& target) {
  u32 version = 0;
  SoupBody body;
  const bool result = ReadSoupBinary(in, version, body);
  target.Clear();
  if (result && !body.IsEmpty() && (version == 0 || version == 1)) {
    target.SetRoot(DecodeSoupBody(body.Data(), body.Size(), version));
  }
  return result;
}
