// Reads arbitrary bytes as a search filter tree. A tree that reads must write, read back equal and
// write the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/buffer_stream.h"
#include "pymclient/pym_filter.h"
#include "qel/dynamic_buffer.h"

namespace {

std::unique_ptr<PymFilterElement> ReadFrom(const void* data, size_t size) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(data, u32(size));
  stream.Seek(0, 0);
  return ReadFilterElement(stream);
}

std::vector<u8> BytesOf(const PymFilterElement& element) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  if (!WriteFilterElement(stream, &element)) std::abort();
  const Qel::DynamicBuffer* buffer = stream.GetBuffer();
  return std::vector<u8>(buffer->GetData(), buffer->GetData() + buffer->GetDataSize());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::unique_ptr<PymFilterElement> element = ReadFrom(data, size);
  if (!element) return 0;
  element->GetValueText();
  const std::vector<u8> bytes = BytesOf(*element);
  const std::unique_ptr<PymFilterElement> again = ReadFrom(bytes.data(), bytes.size());
  if (!again || !FilterElementsEqual(element.get(), again.get())) std::abort();
  if (BytesOf(*again) != bytes) std::abort();
  if (again->GetValueText() != element->GetValueText()) std::abort();
  return 0;
}
