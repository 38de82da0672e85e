// Reads arbitrary bytes as a binary soup (with a header, and as a bare body), walks every tag and
// reads each value as every kind. Whatever reads back must write a body that passes the check and
// reads back to the same bytes.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "assetdata/soup_convert.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

std::string Write(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, soup);
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

Soup Read(const void* data, size_t size, bool* ok) {
  Qel::DynamicBuffer buffer;
  if (size) buffer.Write(data, u32(size));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  Soup soup;
  *ok = ReadSoupTree(in, soup);
  return soup;
}

void Walk(const ACSChunk* root) {
  std::vector<MPRef<ACSChunk>> pending{MPRef<ACSChunk>(const_cast<ACSChunk*>(root))};
  while (!pending.empty()) {
    MPRef<ACSChunk> node = pending.back();
    pending.pop_back();
    const MPRef<ACSRawDataCore> value = ACSRawDataCore::CreateChunkView(node.Get());
    for (u32 to = 0; to < 8; ++to) {
      MPRef<ACSRawDataCore> out;
      ACSConverter::ConvertValue(node->GetKind(), value, to, &out);
      if (out && out->GetSize() == 0) std::abort();
    }
    for (u32 i = 0; i < node->CountChildren(); ++i) {
      Qel::PString name;
      MPRef<ACSChunk> child;
      if (!node->GetChildAt(i, name, child)) std::abort();
      if (node->GetChild(name).Get() == nullptr) std::abort();
      pending.push_back(std::move(child));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool ok = false;
  Soup soup = Read(data, size, &ok);
  if (soup.GetRoot()) Walk(soup.GetRoot().Get());

  // The same bytes as a body, checked and decoded without a header.
  const u32 length = u32(size);
  const bool valid = ValidateSoupBody(data, length);
  MPRef<ACSChunk> decoded = DecodeSoupBody(data, length, data && size ? data[0] & 1 : 1);
  if (decoded) Walk(decoded.Get());

  if (valid && length >= 6) {
    // A valid body decodes to every chunk it holds.
    u32 chunks = 0;
    SoupChunkWalker walker(data, 0, length);
    SoupChunk chunk;
    while (walker.Next(chunk)) ++chunks;
    if (!decoded || decoded->CountChildren() != chunks) std::abort();
  }
  Soup body;
  body.SetRoot(decoded);
  const std::string fromBody = Write(body);

  const std::string written = Write(soup);
  if (!ValidateSoupBody(reinterpret_cast<const u8*>(written.data()) + kSoupHeaderSize,
                        u32(written.size() - kSoupHeaderSize))) {
    std::abort();
  }
  bool again = false;
  const Soup reread = Read(written.data(), written.size(), &again);
  if (!again || Write(reread) != written) std::abort();
  if (!ValidateSoupBody(reinterpret_cast<const u8*>(fromBody.data()) + kSoupHeaderSize,
                        u32(fromBody.size() - kSoupHeaderSize))) {
    std::abort();
  }
  return 0;
}
