// Binary soup files built byte by byte, and the reads and writes the soup suites share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"

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
