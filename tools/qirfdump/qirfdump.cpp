// A developer tool for QIRF files (meshes, textures): prints the chunk tree with each chunk's
// offset, tag, size and version, and where and why a damaged file stops; for a compiled texture
// also its format and each level's size, as the texture reader reads them.
//
//   qirfdump FILE...
//
// Exit code 0 when every file is whole, 1 when one is damaged, 2 when one cannot be read.
#include <cstdio>
#include <cstring>
#include <vector>

#include "mesh/qirf_walk.h"
#include "platform/byte_order.h"
#include "qel/memory_file.h"
#include "qelgfx/texture_file.h"

namespace {

char Printable(u8 c) { return c >= 0x20 && c <= 0x7E ? char(c) : '?'; }

// A compiled texture read back as the engine reads it: its format and every level's size.
void DumpTexture(const Qel::MemoryFile& memory) {
  Qel::TextureFileInfo info;
  std::vector<Qel::TextureFileMip> mips;
  Qel::String error;
  if (!Qel::ReadTextureFile(memory.GetData(), memory.GetSize(), info, mips, error)) {
    std::printf("texture: unreadable %s\n", error.CStr());
    return;
  }
  std::printf("texture %ux%u format %u (%s)%s, %u image%s, %u mip level%s\n", info.width,
              info.height, info.format, Qel::TextureFormatName(info.format),
              (info.flags & Qel::kTextureFlagAlpha) != 0 ? " with alpha" : "", info.imageCount,
              info.imageCount == 1 ? "" : "s", info.mipCount, info.mipCount == 1 ? "" : "s");
  for (const Qel::TextureFileMip& mip : mips) {
    std::printf("  TMIP level %u %ux%u, %u bytes\n", mip.level, mip.width, mip.height,
                mip.byteCount);
  }
}

int Dump(const char* path) {
  Qel::MemoryFile memory;
  if (!memory.LoadFile(path)) {
    std::fprintf(stderr, "%s: cannot be read\n", path);
    return 2;
  }
  std::printf("%s: %u bytes\n", path, memory.GetSize());
  if (memory.GetSize() >= 12) {
    const u8* at = memory.GetData();
    std::printf("%.4s body %c%c%c%c, length %u\n", reinterpret_cast<const char*>(at),
                Printable(at[8]), Printable(at[9]), Printable(at[10]), Printable(at[11]),
                ByteOrder::LoadLE32(at + 4));
  }
  const QIRFWalkResult result =
      WalkQIRF(memory.GetData(), memory.GetSize(), [](const QIRFWalkEntry& e) {
        std::printf("%*s0x%08x %s size %u version %u", int(2 + 2 * e.depth), "", e.offset, e.tag,
                    e.size, e.version);
        if (e.dataBytes > 0) std::printf(", %u data bytes", e.dataBytes);
        std::printf(e.hasChildren ? ", then chunks\n" : "\n");
      });
  if (result.bodyDataBytes > 0) {
    std::printf("  %u bytes of body data, not chunks\n", result.bodyDataBytes);
  }
  std::printf("%u chunks\n", result.chunkCount);
  if (result.ok && std::memcmp(result.bodyTag, "MMTF", 4) == 0) DumpTexture(memory);
  if (!result.ok) {
    std::printf("damaged: stops at 0x%08x: %s\n", result.failOffset, result.reason.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: qirfdump FILE...\n", stderr);
    return 2;
  }
  int worst = 0;
  for (int i = 1; i < argc; ++i) {
    const int code = Dump(argv[i]);
    if (code > worst) worst = code;
  }
  return worst;
}
