// Hostile level-of-detail descriptions (lm.txt): every text ends with a load code. The levels a
// text may name are the two small meshes of a scratch folder, "a.imtxt" and "b.imtxt"; a
// description that loads must save, load back and save the same bytes.
#include <fstream>
#include <string_view>

#include "lod_round_trip_fuzz.h"
#include "qel/config_parser.h"

namespace {

constexpr const char* kLevel =
    "version 1.0\n"
    "chunks\n{\n  chunk \"body\"\n  {\n    primitive 0\n    material \"body.m.onetex\"\n"
    "    {\n      textures { texture \"maps/body.tga\" { stage 0 } }\n    }\n"
    "    vertices\n    {\n      vertex { position 0,0,0\n uv0 0,0 }\n"
    "      vertex { position 1,0,0\n uv0 1,0 }\n      vertex { position 0,1,0\n uv0 0,1 }\n"
    "    }\n    indices 0 1 2\n  }\n}\n"
    "attachments { attachment \"l.lamp:cull\" { position 0,0,4 } }\n";

const std::string& Description() {
  static const std::string path = [] {
    std::ofstream(LodFuzzFolder() + "/a.imtxt") << kLevel;
    std::ofstream(LodFuzzFolder() + "/b.imtxt") << kLevel;
    return LodFuzzFolder() + "/car.lm.txt";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  Qel::ConfigParser parser;
  if (parser.ParseText(std::string_view(reinterpret_cast<const char*>(data), size)) != 0 ||
      !parser.GetData()) {
    return 0;
  }
  Qel::RenderKernel& kernel = LodFuzzKernel();
  KestroIndexedMeshLODDefinition definition;
  definition.SetFileName(Description());
  const u32 code = definition.LoadParsedText(*parser.GetData(), parser.GetVersion(),
                                             Qel::PString("car.lm.txt"), kernel.GetDisplay(),
                                             &kernel.GetMaterialManager(), nullptr, 0xFFFFFFFF);
  if (code > RES_FILE_DATA_ERROR) std::abort();
  if (code == RES_OK) CheckSavesTheSameTwice(definition);
  return 0;
}
