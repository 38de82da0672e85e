#include "gscompiler/gsl_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gscommon/hash_table.h"
#include "gscommon/library_format.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gsc_class.h"
#include "gscompiler/gsc_function.h"
#include "gscompiler/gs_symbol.h"
#include "gscompiler/gs_symbol_table.h"

namespace GSCompiler {

namespace {

using namespace GSLibraryFormat;

// The storage of each piece after the head: large enough that a large library is written in
// few calls, small beside a large library's code.
constexpr u32 kPieceBytes = u32(1) << 20;

// Reserves count entries of `words` words and gives the position of the first.
u32 ReserveTable(Utils::ByteBuffer& out, u32 count, u32 words) {
  const u32 at = out.Position();
  for (u32 i = 0; i < count * words; ++i) out.WriteU32(0);
  return at;
}

// Writes the words of entry `number` of a table reserved at `table`, then returns to the end.
void FillEntry(Utils::ByteBuffer& out, u32 table, u32 number, std::initializer_list<u32> words) {
  const u32 end = out.Position();
  if (!out.SetPosition(table + number * static_cast<u32>(words.size()) * 4)) return;
  for (u32 w : words) out.WriteU32(w);
  out.SetPosition(end);
}

}  // namespace

void WriteLibraryIdTable(Utils::ByteBuffer& out, GSCompilerState& state,
                         const std::vector<GSSymbol*>& globals) {
  const u32 start = BeginRecord(out, kLibraryIdTable);
  out.WriteU32(state.unitCounter);
  const u32 table = ReserveTable(out, state.unitCounter, 2);
  for (const GSSymbol* s : globals) {
    if (s->kind != kSymbolLibrary || s->index < 0 || u32(s->index) >= state.unitCounter) continue;
    const auto* library = static_cast<const GSDependentSymbol*>(s);
    FillEntry(out, table, u32(s->index), {library->sourceId, library->nameId});
  }
  EndRecord(out, start);
}

void WriteStringSection(Utils::ByteBuffer& out, GSCompilerState& state) {
  const u32 start = BeginRecord(out, kStringSection);
  const u32 count = static_cast<u32>(state.strings.size());
  out.WriteU32(count);
  if (count == 0) {
    EndRecord(out, start);
    return;
  }
  // The texts go in the order of a walk of the pool's table: by bucket, each chain in key order.
  // Placing them by bucket first leaves short runs to sort by text.
  constexpr u32 kBuckets = GSCompilerState::kStringPoolBuckets;
  std::vector<u32> bucketOf(count);
  std::vector<u32> bucketStart(kBuckets + 1, 0);
  for (u32 i = 0; i < count; ++i) {
    bucketOf[i] = Utils::HashString(state.strings[i]) % kBuckets;
    ++bucketStart[bucketOf[i] + 1];
  }
  for (u32 b = 0; b < kBuckets; ++b) bucketStart[b + 1] += bucketStart[b];
  std::vector<std::pair<u32, u32>> order(count);  // (bucket, number)
  std::vector<u32> fill(bucketStart.begin(), bucketStart.end() - 1);
  for (u32 i = 0; i < count; ++i) order[fill[bucketOf[i]]++] = {bucketOf[i], i};
  for (u32 b = 0; b < kBuckets; ++b) {
    std::sort(order.begin() + bucketStart[b], order.begin() + bucketStart[b + 1],
              [&](const auto& a, const auto& c) {
                return std::strcmp(state.strings[a.second], state.strings[c.second]) < 0;
              });
  }
  const u32 table = ReserveTable(out, count, 1);
  const u32 texts = out.Position();
  for (const auto& [bucket, number] : order) {
    const char* text = state.strings[number];
    FillEntry(out, table, number, {out.Position() - texts});
    out.Write(text, static_cast<u32>(std::strlen(text) + 1));
  }
  while (out.Position() % 4 != 0) out.WriteU8(0);
  EndRecord(out, start);
}

void WriteClassReferenceSection(Utils::ByteBuffer& out, GSCompilerState& state,
                                const std::vector<GSSymbol*>& globals) {
  GSSymbolTable& symbols = state.symbols;
  const u32 count = static_cast<u32>(symbols.classReferenceCounter);
  const u32 start = BeginRecord(out, kClassReferenceSection);
  out.WriteU32(count);
  const u32 table = ReserveTable(out, count, 2);
  for (const GSSymbol* s : globals) {
    if (s->kind != kSymbolClass || s->referenceNumber < 0 || u32(s->referenceNumber) >= count) {
      continue;
    }
    const auto* cls = static_cast<const GSClassSymbol*>(s);
    const u32 unit = cls->library != nullptr ? u32(cls->library->index) : 0;
    FillEntry(out, table, u32(s->referenceNumber), {unit, InternString(state, s->name)});
  }
  EndRecord(out, start);
}

void WriteFunctionReferenceSection(Utils::ByteBuffer& out, GSCompilerState& state,
                                   const std::vector<GSSymbol*>& globals) {
  GSSymbolTable& symbols = state.symbols;
  const u32 count = static_cast<u32>(symbols.functionReferenceCounter);
  const u32 start = BeginRecord(out, kFunctionReferenceSection);
  out.WriteU32(count);
  const u32 table = ReserveTable(out, count, 3);
  state.referenceSignatures.assign(count, {nullptr, 0});
  for (const GSSymbol* s : globals) {
    if (s->kind != kSymbolClass) continue;
    const auto* cls = static_cast<const GSClassSymbol*>(s);
    const Utils::HashNodeTable& members = cls->Members();
    for (Utils::IHashNode* n = members.First(); n != nullptr; n = members.Next(n)) {
      const GSSymbol* member = static_cast<const GSSymbol*>(n);
      if (member->kind != kSymbolFunction || member->referenceNumber < 0 ||
          u32(member->referenceNumber) >= count) {
        continue;
      }
      const auto* f = static_cast<const GSFunctionSymbol*>(member);
      const u32 name = InternString(state, SignatureText(*f, true, cls->name).c_str());
      state.referenceSignatures[u32(f->referenceNumber)] = {cls, name};
      const i32 slot = static_cast<i16>(cls->inheritedFunctionCount + f->index);
      FillEntry(out, table, u32(f->referenceNumber),
                {u32(cls->referenceNumber), name, static_cast<u32>(slot)});
    }
  }
  EndRecord(out, start);
}

bool WriteClassSection(std::vector<Utils::ByteBuffer>& pieces, GSCompilerState& state) {
  const size_t first = pieces.size() - 1;
  const u32 start = BeginRecord(pieces[first], kClassSection);
  pieces[first].WriteU32(static_cast<u32>(state.classes.size()));
  // Each record is written apart, then copied into the last piece when it still has room, or
  // else starts a piece of its own: no piece grows past its storage.
  Utils::ByteBuffer record(kPieceBytes);
  u64 length = pieces[first].Position() - start;
  for (std::unique_ptr<GSCClass>& cls : state.classes) {
    if (cls == nullptr || !record.SetPosition(0)) return false;
    if (!cls->WriteClassRecord(state, record) || record.OutOfStorage()) return false;
    // Its code now lives in the record: a large library is not held twice.
    cls.reset();
    const u32 size = record.Position();
    if (pieces.back().Size() + u64(size) >= pieces.back().Capacity()) {
      pieces.emplace_back(std::max(kPieceBytes, size + 1));
    }
    if (!pieces.back().Write(record.Data(), size)) return false;
    length += size;
  }
  Utils::ByteBuffer& section = pieces[first];
  if (length > 0xFFFFFFFFu || !section.SetPosition(start)) return false;
  section.WriteU32(static_cast<u32>(length));
  return section.SetPosition(section.Size()) && !section.OutOfStorage();
}

bool GslWriterPieces(Utils::ByteBuffer& head, std::vector<Utils::ByteBuffer>& rest,
                     GSCompilerState& state, const char* libraryName) {
  rest.clear();
  rest.emplace_back(kPieceBytes);
  Utils::ByteBuffer& tail = rest.front();
  const std::vector<GSSymbol*> globals = state.symbols.GlobalsInTableOrder();
  WriteClassReferenceSection(tail, state, globals);
  WriteFunctionReferenceSection(tail, state, globals);
  if (tail.OutOfStorage()) return false;
  const bool classesWritten = WriteClassSection(rest, state);
  state.referenceSignatures.clear();
  if (!classesWritten) return false;
  u64 restSize = 0;
  for (const Utils::ByteBuffer& piece : rest) {
    if (piece.OutOfStorage()) return false;
    restSize += piece.Size();
  }

  std::string name = libraryName != nullptr ? libraryName : "";
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  if (!head.SetPosition(0)) return false;
  head.WriteU32(0);
  head.WriteU32(kMagic);
  head.WriteU32(kVersionBits);
  const GSDependentSymbol* root = state.symbols.FindLibrary(state.rootUnit.fileName.CStr());
  head.WriteU32(root != nullptr ? root->sourceId : state.rootUnit.sourceId);
  head.WriteU32(root != nullptr ? root->nameId : state.rootUnit.nameId);
  head.WriteU32(static_cast<u32>(name.size() + 1));
  head.Write(name.c_str(), static_cast<u32>(name.size() + 1));
  WriteLibraryIdTable(head, state, globals);
  WriteStringSection(head, state);
  // The image's length word counts every piece.
  const u64 length = u64(head.Position()) + restSize;
  const u32 end = head.Position();
  if (head.OutOfStorage() || length > 0xFFFFFFFFu || !head.SetPosition(0)) return false;
  head.WriteU32(static_cast<u32>(length));
  return head.SetPosition(end) && !head.OutOfStorage();
}

bool GslWriter(Utils::ByteBuffer& image, GSCompilerState& state, GSCompileLog*,
               const char* libraryName) {
  std::vector<Utils::ByteBuffer> rest;
  if (!GslWriterPieces(image, rest, state, libraryName)) return false;
  for (const Utils::ByteBuffer& piece : rest) image.Write(piece.Data(), piece.Size());
  return !image.OutOfStorage();
}

}  // namespace GSCompiler
