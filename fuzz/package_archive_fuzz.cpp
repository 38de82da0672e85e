// Reads arbitrary bytes as a package archive of the key kFuzzKey, as the command host does before
// it installs anything, and reads every entry's archived asset soup as the install would. An
// archive that reads must hold entries that follow each other between the header and the
// terminator; nothing is installed.
#include <cstdint>
#include <cstdlib>

#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "frontend/package_archive.h"
#include "qel/dynamic_buffer.h"

namespace {

constexpr u32 kFuzzKey = 0x2A;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  Qel::DynamicBuffer bytes;
  if (size != 0) bytes.Write(data, u32(size));
  bytes.SetPosition(0);
  TBuffer in(&bytes, false);
  ArchiveContents archive;
  const ArchiveReadResult read = ReadArchiveEntries(in, size, kFuzzKey, archive);
  if (read != ArchiveReadResult::kRead) {
    if (!archive.entries.empty()) std::abort();
    return 0;
  }
  const u32 headerSize = archive.version == 0 ? kArchiveHeaderSize - 4 : kArchiveHeaderSize;
  u32 previousEnd = headerSize;
  for (const ArchiveEntry& entry : archive.entries) {
    if (entry.kuid.IsNull() || entry.soupStart != previousEnd + 12 || entry.end < entry.soupStart ||
        entry.end > size - kArchiveTerminatorSize) {
      std::abort();
    }
    previousEnd = entry.end;
    Soup soup;
    if (ReadArchiveEntrySoup(in, entry, soup) &&
        soup.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null()) != entry.kuid) {
      std::abort();
    }
  }
  return 0;
}
