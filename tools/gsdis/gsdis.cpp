// Lists a compiled library or bare function records: "gsdis <file>".
// A library (".gsl", recognised by its magic) is listed whole: header, units, class and function
// references, then each class with its parents, fields, method table and functions. Any other
// file holds records one after another, each {u32 length, u32 tag, ...}; every function
// record (tag 9) is listed with its header, then its code one instruction a line (offset, '>'
// where a jump lands, mnemonic, operands) with "; line N" before each source line's code. Other
// records are skipped by their length. The exit code is 0, 1 for a file that cannot be read or
// a malformed record, and 2 for wrong usage.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gscommon/disassembler.h"
#include "gscommon/function_record.h"
#include "gscommon/library_format.h"
#include "gscommon/library_image.h"
#include "platform/byte_order.h"

namespace {

void PrintFunction(u32 index, const GSByteCode::FunctionRecord& f) {
  const GSByteCode::FunctionRecordHeader& h = f.header;
  std::printf(
      "function %u: name #%u, return type %u, return class %d, flags 0x%02X, slot %d, "
      "arguments %u, locals %u, frame %u words\n",
      index, h.name, h.returnType, h.returnClass, h.flags, h.slot, h.argumentWords,
      h.localWordsFirst + h.localWordsSecond, h.frameWords);
  if (!f.referenceSlots.empty()) {
    std::printf("reference slots:");
    for (u32 slot : f.referenceSlots) std::printf(" %u", slot);
    std::printf("\n");
  }
  std::printf("code %u bytes\n", f.codeLength);
  const std::string listing = GSByteCode::DisassembleCode(f.code, f.codeLength, f.lines);
  std::fwrite(listing.data(), 1, listing.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gsdis <file>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "Could not read file %s.\n", argv[1]);
    return 1;
  }
  const std::vector<u8> image((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  const u32 size = static_cast<u32>(image.size());
  if (size >= 8 && ByteOrder::LoadLE32(image.data() + 4) == GSLibraryFormat::kMagic) {
    GSLibraryFormat::LibraryImage library;
    std::string error;
    if (!GSLibraryFormat::ReadLibraryImage(image.data(), size, &library, &error)) {
      std::fprintf(stderr, "Malformed library: %s.\n", error.c_str());
      return 1;
    }
    const std::string listing = GSLibraryFormat::DescribeLibrary(library);
    std::fwrite(listing.data(), 1, listing.size(), stdout);
    return 0;
  }
  u32 offset = 0;
  u32 functions = 0;
  while (size - offset >= 8) {
    const u32 length = ByteOrder::LoadLE32(image.data() + offset);
    const u32 tag = ByteOrder::LoadLE32(image.data() + offset + 4);
    if (length < 8 || length > size - offset) {
      std::fprintf(stderr, "Malformed record at offset %u.\n", offset);
      return 1;
    }
    if (tag == GSByteCode::kFunctionRecordTag) {
      GSByteCode::FunctionRecord record;
      if (!GSByteCode::ReadFunctionRecord(image.data() + offset, length, offset, &record)) {
        std::fprintf(stderr, "Malformed function record at offset %u.\n", offset);
        return 1;
      }
      if (functions > 0) std::printf("\n");
      PrintFunction(functions++, record);
    }
    offset += length;
  }
  return 0;
}
