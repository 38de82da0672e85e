// Binary soup files built byte by byte, and the reads, writes and renderings the soup suites
// share.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"
#include "qel/string.h"

namespace soupbytes {

using Bytes = std::string;
using Names = std::vector<std::string>;

inline Bytes U32(u32 v) {
  Bytes b;
  ByteOrder::AppendLE32(b, v);
  return b;
}

inline Bytes Header(u32 bodySize, u32 version = 1) {
  return "ACS$" + U32(version) + U32(0) + U32(bodySize);
}

inline Bytes Chunk(const Bytes& name, u8 type, const Bytes& payload) {
  const Bytes inner = char(name.size() + 1) + name + '\0' + char(type) + payload;
  return U32(u32(inner.size())) + inner;
}

inline Bytes WithHeader(const Bytes& body, u32 version = 1) {
  return Header(u32(body.size()), version) + body;
}

inline bool Valid(const Bytes& body) {
  return ValidateSoupBody(reinterpret_cast<const u8*>(body.data()), u32(body.size()));
}

inline Bytes Write(const Soup& soup, bool* complete = nullptr) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  const bool done = WriteSoup(out, soup);
  if (complete) *complete = done;
  EXPECT_EQ(out.GetError(), 0u);
  return Bytes(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

// Reads through the tree reader, or through the in-place view with `view`.
inline bool ReadInto(const Bytes& bytes, Soup& soup, bool view) {
  Qel::DynamicBuffer buffer;
  if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  return view ? Soup::ReadBinary(soup, in) : ReadSoupTree(in, soup);
}

inline Soup ReadValid(const Bytes& bytes, bool view = false) {
  Soup soup;
  EXPECT_TRUE(ReadInto(bytes, soup, view));
  return soup;
}

inline Bytes DataOf(const Soup& soup, const char* name) {
  MPRef<ACSRawDataCore> d = soup.GetNamedTagData(name);
  return d ? Bytes(reinterpret_cast<const char*>(d->GetData()), d->GetSize()) : Bytes();
}

inline Names NamesOf(const Soup& s) {
  Names out;
  for (u32 i = 0; i < s.CountTags(); ++i) out.emplace_back(s.GetIndexedTagName(i).View());
  return out;
}

// Every kind, nesting and an empty container.
inline Soup Sample() {
  Soup s;
  s.SetNamedInt("int", -5);
  s.SetNamedFloat("float", 2.5f);
  s.SetNamedTag("text", "h\xC3\xA9llo");
  s.SetNamedKUID("kuid", KUID(12, 34, 5));
  s.SetNamedNull("null");
  Soup inner;
  inner.SetNamedTag("deep", "value");
  inner.SetNamedInt("n", 7);
  Soup more;
  more.SetNamedBool("flag", true);
  inner.SetNamedSoup("more", more);
  s.SetNamedSoup("inner", inner);
  Soup box;
  s.SetNamedSoup("box", box);
  return s;
}

inline u32 WordAt(const u8* b) { return ByteOrder::LoadLE32(b); }

inline std::string DescribeNode(const ACSChunk* node, u32 depth = 0);

// One line per tree: name=value; containers in braces, numbers as lists, texts quoted.
inline std::string DescribeValue(const ACSChunk* node, u32 depth) {
  const u8* data = node->GetData();
  const u32 size = node->GetDataSize();
  switch (node->GetKind()) {
    case kKindNull:
      return "~";
    case kKindContainer:
      return "{" + DescribeNode(node, depth + 1) + "}";
    case kKindInt:
    case kKindFloat: {
      const bool isInt = node->GetKind() == kKindInt;
      std::string out = isInt ? "i(" : "f(";
      for (u32 i = 0; i + 4 <= size; i += 4) {
        const u32 word = WordAt(data + i);
        if (i != 0) out += ",";
        if (isInt) {
          out += std::to_string(i32(word));
        } else {
          f32 value;
          std::memcpy(&value, &word, 4);
          out += Qel::String::Format("%g", double(value)).Std();
        }
      }
      return out + ")";
    }
    case kKindRaw:
      return "r'" + std::string(reinterpret_cast<const char*>(data), size) + "'";
    case kKindText:
      return "'" + std::string(reinterpret_cast<const char*>(data), size ? size - 1 : 0) + "'";
    case kKindKUID:
      return size == 8 ? KUID::Unpack(WordAt(data), WordAt(data + 4)).ToString().CStr() : "k?";
    default:
      return "kind" + std::to_string(node->GetKind());
  }
}

inline std::string DescribeNode(const ACSChunk* node, u32 depth) {
  if (depth > 2000) return "...";
  std::string out;
  Qel::PString name;
  MPRef<ACSChunk> child;
  for (u32 i = 0; node->GetChildAt(i, name, child); ++i) {
    out += std::string(name.View()) + "=" + DescribeValue(child.Get(), depth) + ";";
  }
  return out;
}

inline std::string Describe(const Soup& soup) {
  if (!soup.GetRoot()) return "<empty>";
  return DescribeNode(soup.GetRoot().Get());
}

// Containers followed through each first child.
inline u32 Depth(const Soup& soup) {
  u32 depth = 0;
  for (MPRef<ACSChunk> node = soup.GetRoot(); node; ++depth) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (!node->GetChildAt(0, name, child) || child->GetKind() != kKindContainer) break;
    node = child;
  }
  return depth;
}

// `levels` containers named "d", each holding the next.
inline Soup Nested(u32 levels) {
  Soup root;
  Soup at = root.GetContainer();
  for (u32 i = 0; i < levels; ++i) {
    Soup next;
    at.SetNamedSoup("d", next);
    at = next;
  }
  return root;
}

// `levels` containers named "d", each holding the next, built back to front with the sizes
// patched in place (too deep to build by nesting strings).
inline Bytes HostileNesting(u32 levels) {
  Bytes hostile(size_t(levels) * 8, '\0');
  for (size_t at = 0; at < hostile.size(); at += 8) {
    const Bytes size = U32(u32(hostile.size() - at - 4));
    hostile.replace(at, 4, size);
    hostile[at + 4] = 2;
    hostile[at + 5] = 'd';
  }
  return hostile;
}

}  // namespace soupbytes
