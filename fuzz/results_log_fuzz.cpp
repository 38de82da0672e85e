// Reads arbitrary bytes as a results-log wire form. Whatever was appended must write and read
// back to the same wire form.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "assetdata/results_log.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

void ReadInto(ResultsLog& log, const void* data, size_t size) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(data, u32(size));
  stream.Seek(0, 0);
  ResultsLog::Read(stream, log);
}

std::vector<u8> WireOf(ResultsLog& log) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  log.Write(stream, 0);
  const Qel::DynamicBuffer* buffer = stream.GetBuffer();
  return std::vector<u8>(buffer->GetData(), buffer->GetData() + buffer->GetDataSize());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResultsLog log;
  ReadInto(log, data, size);
  const std::vector<u8> wire = WireOf(log);
  ResultsLog again;
  ReadInto(again, wire.data(), wire.size());
  if (WireOf(again) != wire || again.CountEntries() != log.CountEntries()) std::abort();
  if (again.GetErrorCount() != log.GetErrorCount()) std::abort();
  return 0;
}
