// Hostile packed script files through load and unpack. The first byte chooses the form: odd
// means the rest is an unscrambled packed body (so the fuzzer reaches the codec), which gets the
// key and a header; even means the rest is the whole file as found on disk.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gscompiler/gs_source_file.h"
#include "platform/byte_order.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

const std::string& FilePath() {
  static const std::string path = "/tmp/gse_unpack_fuzz_" + std::to_string(::getpid()) + ".gse";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  std::string file;
  if (data[0] & 1) {
    std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    for (size_t i = 0; i < body.size(); ++i) body[i] ^= char(GSSourceFile::kKey[i % 32]);
    ByteOrder::AppendLE32(file, 1);
    ByteOrder::AppendLE32(file, 0);
    ByteOrder::AppendLE32(file, u32(body.size()));
    ByteOrder::AppendLE32(file, 0);
    file += body;
  } else {
    file.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  FILE* f = std::fopen(FilePath().c_str(), "wb");
  if (!f) return 0;
  const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  if (std::fclose(f) != 0 || !written) return 0;

  GSSourceFile source;
  if (source.Load(nullptr, FilePath().c_str())) {
    Check(source.IsPacked());
    if (source.Unpack()) {
      const char* text = source.GetText();
      const u32 length = source.GetTextLength();
      Check(text != nullptr && length <= GSSourceFile::kMaxTextLength);
      Check(std::memchr(text, '\r', length) == nullptr);
      // What unpacked must pack and unpack to the same text.
      const std::string before(text, length);
      if (length != 0 && source.Pack()) {
        Check(source.Unpack());
        Check(std::string(source.GetText(), source.GetTextLength()) == before);
      }
    } else {
      Check(!source.IsPacked() && source.GetData() == nullptr && source.GetDataLength() == 0);
    }
  }
  std::remove(FilePath().c_str());
  return 0;
}
