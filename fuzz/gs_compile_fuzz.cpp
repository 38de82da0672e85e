// Arbitrary bytes as a GameScript unit, compiled whole into memory: parsed, declared and
// checked, generated, and written as a library image. Whatever the input, a unit that passes
// the checks either generates or fails with a message, and an image the writer accepts reads
// back whole, its length word equal to its size.
#include <string>

#include "gs_fuzz_unit.h"
#include "gscommon/byte_buffer.h"
#include "gscommon/library_image.h"
#include "gscompiler/code_generator.h"
#include "gscompiler/gsl_writer.h"
#include "gscompiler/semantic_pass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using gs_fuzz::Check;
  if (size > (1u << 20)) return 0;
  gs_fuzz::FuzzUnit fuzz(data, size);
  if (fuzz.Result() != 0) return 0;
  fuzz.EnterLibrary();
  GSCompilerState& state = fuzz.State();
  if (!GSCompiler::SemanticPass(fuzz.Unit(), state, false)) return 0;
  const u32 before = fuzz.Log().Count();
  if (!GSCompiler::GenerateUnit(state)) {
    Check(fuzz.Log().Count() > before);
    return 0;
  }
  Utils::ByteBuffer image;
  if (!GSCompiler::GslWriter(image, state, &fuzz.Log(), "fuzz.gs")) return 0;
  GSLibraryFormat::LibraryImage read;
  std::string error;
  Check(GSLibraryFormat::ReadLibraryImage(image.Data(), image.Size(), &read, &error));
  Check(read.imageLength == image.Size() && read.classes.size() == state.classes.size());
  return 0;
}
