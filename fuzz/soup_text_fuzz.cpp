// Parses arbitrary bytes as a text soup through a stream. After one write and read, which may
// turn values into other kinds (a float "-0" into an integer, names into their safe form), the
// written form must be stable.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

Soup ParseBytes(const void* data, size_t size) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(data, u32(size));
  stream.Seek(0, 0);
  Soup soup;
  Soup::ParseText(soup, stream, false);
  return soup;
}

std::string WriteText(const Soup& soup) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  WriteSoupText(stream, soup);
  const Qel::DynamicBuffer* buffer = stream.GetBuffer();
  return std::string(reinterpret_cast<const char*>(buffer->GetData()), buffer->GetDataSize());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string once = WriteText(ParseBytes(data, size));
  const std::string twice = WriteText(ParseBytes(once.data(), once.size()));
  const std::string thrice = WriteText(ParseBytes(twice.data(), twice.size()));
  if (twice != thrice) std::abort();
  return 0;
}
