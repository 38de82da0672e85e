#include "online/tme_reassembly.h"

#include "online/tme_sequence.h"

TMEReassembly::TMEReassembly() = default;
TMEReassembly::~TMEReassembly() = default;

std::unique_ptr<TMEPacket> TMEReassembly::Add(u8 sequence, u8 index, bool last, const u8* data,
                                              u32 length, u8 expected) {
  if (index >= TMEPacket::kMaxFragments || length > TMEPacket::kMaxPayload) {
    ++counters_.refused;
    return nullptr;
  }
  std::unique_ptr<Assembly>& slot = assemblies_[sequence];
  if (!slot) {
    if (open_ >= kMaxOpenAssemblies && !MakeRoom(sequence, expected)) {
      ++counters_.refused;
      return nullptr;
    }
    slot = std::make_unique<Assembly>();
    ++open_;
  }
  Assembly& assembly = *slot;
  u32 replaced = index < assembly.fragments.size() ? u32(assembly.fragments[index].size()) : 0;
  if (assembly.bytes - replaced + length > TMEPacket::kMaxPayload) {
    // No real packet grows this large; start over and let resends refill what was real.
    assembly = Assembly();
    replaced = 0;
    ++counters_.resets;
  }
  if (last) assembly.count = u8(index + 1);
  if (index >= assembly.fragments.size()) assembly.fragments.resize(index + 1u);
  assembly.fragments[index].assign(data, data + length);
  assembly.bytes = assembly.bytes - replaced + length;

  if (assembly.count == 0 || assembly.fragments.size() < assembly.count) return nullptr;
  for (u32 i = 0; i < assembly.count; ++i) {
    if (assembly.fragments[i].empty()) return nullptr;
  }
  std::unique_ptr<TMEPacket> packet = Join(assembly);
  Erase(sequence);
  return packet;
}

std::unique_ptr<TMEPacket> TMEReassembly::Join(Assembly& assembly) {
  auto packet = std::make_unique<TMEPacket>();
  for (u32 i = 0; i < assembly.count; ++i) {
    packet->Write(assembly.fragments[i].data(), u32(assembly.fragments[i].size()));
  }
  packet->Rewind();
  return packet;
}

bool TMEReassembly::MakeRoom(u8 sequence, u8 expected) {
  // Numbers before the expected one can never complete usefully: they go first.
  int farthest = -1;
  for (int s = 1; s < 256; ++s) {
    if (!assemblies_[s]) continue;
    if (Tme::IsBefore(u8(s), expected)) {
      Erase(u8(s));
      ++counters_.evicted;
      return true;
    }
    if (farthest < 0 ||
        Tme::SequenceDifference(u8(s), expected) > Tme::SequenceDifference(u8(farthest), expected))
      farthest = s;
  }
  if (farthest < 0 ||
      Tme::SequenceDifference(u8(farthest), expected) <= Tme::SequenceDifference(sequence, expected))
    return false;
  Erase(u8(farthest));
  ++counters_.evicted;
  return true;
}

void TMEReassembly::Erase(u8 sequence) {
  if (!assemblies_[sequence]) return;
  assemblies_[sequence].reset();
  --open_;
}

void TMEReassembly::Clear() {
  for (auto& assembly : assemblies_) assembly.reset();
  open_ = 0;
}

u32 TMEReassembly::GetBytes(u8 sequence) const {
  return assemblies_[sequence] ? assemblies_[sequence]->bytes : 0;
}
