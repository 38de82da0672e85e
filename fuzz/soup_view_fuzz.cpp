// Reads arbitrary bytes as a binary soup viewed in place, walks every tag, reads each value as
// every kind and changes a few tags through different views. What is written afterwards must
// pass the body check and read back to the same bytes.
#include <cstdlib>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

std::string Write(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoup(out, soup);
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

Soup Read(const void* data, size_t size) {
  Qel::DynamicBuffer buffer;
  if (size) buffer.Write(data, u32(size));
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  Soup soup;
  Soup::ReadBinary(soup, in);
  return soup;
}

bool ValidWritten(const std::string& written) {
  return written.size() >= kSoupHeaderSize &&
         ValidateSoupBody(reinterpret_cast<const u8*>(written.data()) + kSoupHeaderSize,
                          u32(written.size() - kSoupHeaderSize));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Soup soup = Read(data, size);
  const u8 seed = size ? data[size - 1] : 0;
  // Each container with a second view of the same region, made by another lookup.
  struct Pending {
    Soup view;
    Soup other;
  };
  std::vector<Pending> pending{{soup, soup}};
  u32 visited = 0;
  while (!pending.empty()) {
    Pending at = pending.back();
    pending.pop_back();
    const Soup& view = at.view;
    const u32 count = view.CountTags();
    for (u32 i = 0; i < count; ++i, ++visited) {
      Qel::PString name;
      MPRef<ACSChunk> child;
      if (!view.GetRoot()->GetChildAt(i, name, child)) std::abort();
      if (!view.GetRoot()->GetChild(name)) std::abort();
      view.GetNamedTag(name);
      view.GetNamedTagAsInt(name, 0);
      view.GetNamedTagAsFloat(name, 0);
      view.GetNamedTagAsKUID(name, KUID());
      if (child->GetKind() == kKindContainer) {
        pending.push_back({Soup::FromChunk(child), view.GetIndexedSoup(i)});
      }
    }
    if (!count || (visited + seed) % 3 != 0) continue;
    // A few changes, through this view and through a second view of the same region.
    Soup self = view;
    Soup other = at.other;
    const Qel::PString first = view.GetIndexedTagName(0);
    self.SetNamedInt(first, i32(visited));
    // The new tag is the last one, seen through the other view as well.
    Qel::PString lastName;
    MPRef<ACSChunk> last;
    if (!other.GetRoot()->GetChildAt(count - 1, lastName, last) || lastName != first ||
        last->GetDataSize() != 4 || other.CountTags() != count) {
      std::abort();
    }
    other.RemoveNamedTag(view.GetIndexedTagName(0));
    if (view.CountTags() != count - 1) std::abort();
  }
  const std::string written = Write(soup);
  if (!ValidWritten(written)) std::abort();
  if (Write(Read(written.data(), written.size())) != written) std::abort();
  return 0;
}
