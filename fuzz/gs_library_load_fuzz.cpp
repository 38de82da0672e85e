// Arbitrary bytes as a library image: read, checked, every function verified, then linked by
// the machine. Whatever the input, the load either refuses the image with a result below zero
// or links it; nothing may read outside the image.
#include <algorithm>
#include <string>
#include <vector>

#include "gscommon/library_image.h"
#include "gsruntime/byte_code_verifier.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/library_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  GSLibraryFormat::LibraryImage image;
  std::string error;
  if (GSLibraryFormat::ReadLibraryImage(data, u32(size), &image, &error) &&
      GSRuntime::CheckLibraryImage(image, &error)) {
    GSRuntime::VerifierLimits limits;
    limits.strings = u32(image.strings.size());
    limits.classReferences = u32(image.classReferences.size());
    for (const auto& cls : image.classes)
      limits.methods = std::max(limits.methods, u32(cls.methods.size()));
    for (const auto& cls : image.classes) {
      limits.memberWords = cls.instanceWords;
      for (const auto& f : cls.functions) GSRuntime::VerifyFunctionCode(f, limits, &error);
    }
  }
  GSMachine& machine = GSMachine::Instance();
  auto* library = new GSRuntime::GSLibrary;
  const i32 result = GSMachine::LinkLibrary(&machine, library, std::vector<u8>(data, data + size));
  if (result > 0) __builtin_trap();
  delete library;
  return 0;
}
