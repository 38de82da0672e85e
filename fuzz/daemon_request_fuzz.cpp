// Feeds arbitrary payloads to the daemon's request handlers: the first byte picks the request,
// the rest is its payload. Every payload must give a reply without a crash, and a search filter
// that parses must also evaluate against an asset.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "daemon/asset_store.h"
#include "daemon/filter_evaluator.h"
#include "daemon/filter_tree.h"
#include "daemon/request_handlers.h"

namespace {

using namespace PymDaemonSrv;

struct Fixture {
  Fixture() {
    char pattern[] = "/tmp/daemon-request-fuzz-XXXXXX";
    if (const char* made = mkdtemp(pattern)) folder = made;
    if (folder.empty() || !store.Open(folder, nullptr)) abort();
    asset.kuid = KUID(1, 2, 3);
    asset.name = asset.nameLower = "box";
    asset.categories = "TR;TV";
    asset.flags = 0x155555;
  }
  ~Fixture() {
    store.Close();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  std::string folder;
  AssetStore store;
  RequestHandlers handlers{store};
  AssetRecord asset;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  // Every request but the repair, whose thread would outlive the input, and the start of a URL
  // request, which would reach for the network. The command-host requests come from two
  // connections whose notes never go out: a command handed to a host (0x8E, and the validation
  // of 0x26) ends at once as undelivered instead of waiting out its time limit, and at most two
  // hosts are ever registered.
  static const u32 kOpcodes[] = {
      0x0,  0x2,  0x4,  0x14, 0x15, 0x17, 0x1A,  0x1B,  0x1C,   0x1D, 0x1E, 0x1F, 0x20, 0x21,
      0x22, 0x23, 0x24, 0x26, 0x2A, 0x2B, 0x32,  0x36,  0x3A,   0x4A, 0x5A, 0x64, 0x65, 0x66,
      0x87, 0x96, 0xB5, 0xE7, 0xE8, 0xFD, 0x100, 0x10E, 0x4242, 0x8C, 0x8D, 0x8E, 0xEB, 0xEC};
  static const auto kSilentNotes =
      std::make_shared<NoteChannel>([](u32, const u8*, size_t) { return false; });
  const u32 opcode = kOpcodes[data[0] % (sizeof kOpcodes / sizeof kOpcodes[0])];
  Response response;
  response.connectionId = 1 + size % 2;
  response.notes = kSilentNotes;
  fixture.handlers.Handle(opcode, data + 1, size - 1, response);
  if (opcode == 0x2) {
    const FilterParseResult filter = ParseFilterPayload(data + 1, size - 1);
    if (filter.ok) FilterEvaluator().Matches(filter.root.get(), fixture.asset);
  }
  return 0;
}
