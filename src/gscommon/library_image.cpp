#include "gscommon/library_image.h"

#include <cstdio>
#include <cstring>

#include "gscommon/disassembler.h"
#include "gscommon/library_format.h"
#include "qel/file.h"
#include "qel/file_facts.h"
#include "gscommon/word_reader.h"

namespace GSLibraryFormat {

namespace {

using Cursor = GSByteCode::WordReader;

// Reads {length, tag} and checks them; `end` is where the record ends.
bool Envelope(Cursor& c, u32 tag, u32* end) {
  const u32 start = c.Position();
  u32 length = 0, found = 0;
  if (!c.U32(&length) || !c.U32(&found) || found != tag || length < 8 || length - 8 > c.Left()) {
    return false;
  }
  *end = start + length;
  return true;
}

// count entries of `words` words each must fit before `end`.
bool Count(Cursor& c, u32 end, u32 words, u32* count) {
  return c.U32(count) && end >= c.Position() && *count <= (end - c.Position()) / (4 * words);
}

bool ReadClass(Cursor& c, ClassImage* cls) {
  u32 end = 0, count = 0, sub = 0;
  if (!Envelope(c, kClassRecord, &end) || !c.U32(&cls->name) || !c.U32(&cls->flags) ||
      !Count(c, end, 3, &count)) {
    return false;
  }
  cls->parents.resize(count);
  for (ClassImage::Parent& p : cls->parents) {
    c.I32(&p.classReference);
    c.I32(&p.memberOffset);
    c.U32(&p.direct);
  }
  if (!Envelope(c, kClassFunctions, &sub) || sub > end || !Count(c, sub, 2, &count)) return false;
  cls->functions.resize(count);
  for (GSByteCode::FunctionRecord& f : cls->functions) {
    if (c.Left() < 8 ||
        !GSByteCode::ReadFunctionRecord(c.Here(), sub - c.Position(), c.Position(), &f) ||
        !c.Skip(f.recordLength)) {
      return false;
    }
  }
  if (!c.Seek(sub) || !Envelope(c, kClassFields, &sub) || sub > end || !Count(c, sub, 5, &count)) {
    return false;
  }
  cls->fields.resize(count);
  for (ClassImage::Field& f : cls->fields) {
    c.U32(&f.name);
    c.U32(&f.type);
    c.I32(&f.classReference);
    c.U32(&f.isPublic);
    c.I32(&f.slot);
  }
  if (!c.Seek(sub) || !Envelope(c, kMethodTable, &sub) || sub > end || !Count(c, sub, 2, &count)) {
    return false;
  }
  cls->methods.resize(count);
  for (ClassImage::Method& m : cls->methods) {
    c.I32(&m.functionReference);
    c.I32(&m.viewOffset);
  }
  if (!c.Seek(sub) || !Envelope(c, kInstanceLayout, &sub) || sub > end ||
      !c.U32(&cls->instanceWords) || !Count(c, sub, 3, &count)) {
    return false;
  }
  cls->layout.resize(count);
  for (ClassImage::LayoutEntry& e : cls->layout) {
    c.I32(&e.kind);
    c.I32(&e.word);
    c.I32(&e.value);
  }
  if (!Count(c, sub, 1, &count)) return false;
  cls->referenceFields.resize(count);
  for (u32& slot : cls->referenceFields) c.U32(&slot);
  return c.Seek(end);
}

}  // namespace

const std::string& LibraryImage::String(u32 number) const {
  static const std::string kUnknown = "?";
  return number < strings.size() ? strings[number] : kUnknown;
}

namespace {

// The header and the unit table; the cursor stops after section 2.
bool ReadHead(Cursor& c, LibraryImage* out, std::string* error) {
  const auto fail = [&](const char* where) {
    if (error != nullptr) *error = where;
    return false;
  };
  u32 nameLength = 0;
  if (!c.U32(&out->imageLength) || !c.U32(&out->magic) || out->magic != kMagic ||
      !c.U32(&out->versionBits) || !c.U32(&out->sourceId) || !c.U32(&out->nameId) ||
      !c.U32(&nameLength) || nameLength == 0 || nameLength > c.Left() ||
      c.Here()[nameLength - 1] != 0) {
    return fail("header");
  }
  out->name.assign(reinterpret_cast<const char*>(c.Here()), nameLength - 1);
  c.Skip(nameLength);

  u32 end = 0, count = 0;
  if (!Envelope(c, kLibraryIdTable, &end) || !Count(c, end, 2, &count)) return fail("section 2");
  out->units.resize(count);
  for (auto& u : out->units) c.U32(&u.first), c.U32(&u.second);
  if (!c.Seek(end)) return fail("section 2");
  return true;
}

}  // namespace

bool ReadLibraryFile(const std::string& path, std::vector<u8>* bytes) {
  // Through the engine's file layer, so the "libraries" substitution and case-insensitive
  // lookup apply to libraries as to every other file.
  std::string read;
  if (!Qel::ReadWholeFile(path.c_str(), 0xFFFFFFFFu, &read)) return false;
  bytes->resize(read.size());
  if (!read.empty()) std::memcpy(bytes->data(), read.data(), read.size());
  return true;
}

bool ReadLibraryHead(const u8* data, u32 size, LibraryImage* out, std::string* error) {
  Cursor c(data, size);
  return ReadHead(c, out, error);
}

bool ReadLibraryImage(const u8* data, u32 size, LibraryImage* out, std::string* error) {
  Cursor c(data, size);
  const auto fail = [&](const char* where) {
    if (error != nullptr) *error = where;
    return false;
  };
  if (!ReadHead(c, out, error)) return false;
  u32 end = 0, count = 0;

  if (!Envelope(c, kStringSection, &end) || !Count(c, end, 1, &count)) return fail("section 3");
  const u32 texts = c.Position() + count * 4;
  out->strings.resize(count);
  for (std::string& s : out->strings) {
    u32 offset = 0;
    c.U32(&offset);
    if (offset >= end - texts) return fail("section 3");
    const char* text = reinterpret_cast<const char*>(data + texts + offset);
    const void* zero = std::memchr(text, 0, end - texts - offset);
    if (zero == nullptr) return fail("section 3");
    s.assign(text, static_cast<const char*>(zero) - text);
  }
  out->stringSectionEnd = end;
  if (!c.Seek(end)) return fail("section 3");

  if (!Envelope(c, kClassReferenceSection, &end) || !Count(c, end, 2, &count)) {
    return fail("section 4");
  }
  out->classReferences.resize(count);
  for (auto& r : out->classReferences) c.U32(&r.first), c.U32(&r.second);
  if (!c.Seek(end)) return fail("section 4");

  if (!Envelope(c, kFunctionReferenceSection, &end) || !Count(c, end, 3, &count)) {
    return fail("section 5");
  }
  out->functionReferences.resize(count);
  for (auto& r : out->functionReferences) c.U32(&r.classReference), c.U32(&r.name), c.I32(&r.slot);
  if (!c.Seek(end)) return fail("section 5");

  if (!Envelope(c, kClassSection, &end) || !Count(c, end, 1, &count)) return fail("section 6");
  out->classes.resize(count);
  for (ClassImage& cls : out->classes) {
    if (!ReadClass(c, &cls) || c.Position() > end) return fail("class record");
  }
  if (!c.Seek(end) || end != size) return fail("section 6");
  return true;
}

std::string DescribeFunction(const LibraryImage& library, const GSByteCode::FunctionRecord& f) {
  const GSByteCode::FunctionRecordHeader& h = f.header;
  char line[160];
  // A native has no code of its own: the listing says so, since its body is bound at link time.
  constexpr u32 kNativeFlag = 0x2;
  std::string text = ((h.flags & kNativeFlag) != 0 ? "native function " : "function ") +
                     library.String(h.name) + "\n";
  std::snprintf(line, sizeof line, "flags 0x%02X, slot %d, arguments %u, locals %u, frame %u\n",
                h.flags, h.slot, h.argumentWords, h.localWordsFirst + h.localWordsSecond,
                h.frameWords);
  text += line;
  if (!f.referenceSlots.empty()) {
    text += "reference slots:";
    for (u32 slot : f.referenceSlots) text += " " + std::to_string(slot);
    text += "\n";
  }
  return text + GSByteCode::DisassembleCode(f.code, f.codeLength, f.lines);
}

std::string DescribeLibrary(const LibraryImage& library) {
  char line[200];
  std::snprintf(line, sizeof line, "library %s, id 0x%08X 0x%08X, %u bytes\n", library.name.c_str(),
                library.sourceId, library.nameId, library.imageLength);
  std::string text = line;
  for (size_t i = 0; i < library.units.size(); ++i) {
    std::snprintf(line, sizeof line, "unit %zu: 0x%08X 0x%08X\n", i, library.units[i].first,
                  library.units[i].second);
    text += line;
  }
  for (size_t i = 0; i < library.classReferences.size(); ++i) {
    text += "class #" + std::to_string(i) + ": " +
            library.String(library.classReferences[i].second) + " (unit " +
            std::to_string(library.classReferences[i].first) + ")\n";
  }
  for (size_t i = 0; i < library.functionReferences.size(); ++i) {
    const LibraryImage::FunctionReference& r = library.functionReferences[i];
    text += "function #" + std::to_string(i) + ": " + library.String(r.name) + " (class #" +
            std::to_string(r.classReference) + ", slot " + std::to_string(r.slot) + ")\n";
  }
  for (const ClassImage& cls : library.classes) {
    std::snprintf(line, sizeof line, "\nclass %s, flags 0x%X, %u instance words\n",
                  library.String(cls.name).c_str(), cls.flags, cls.instanceWords);
    text += line;
    for (const ClassImage::Parent& p : cls.parents) {
      std::snprintf(line, sizeof line, "parent #%d at %d%s\n", p.classReference, p.memberOffset,
                    p.direct ? ", direct" : "");
      text += line;
    }
    for (const ClassImage::Field& f : cls.fields) {
      std::snprintf(line, sizeof line, "field %s: type %u, class %d, %s, slot %d\n",
                    library.String(f.name).c_str(), f.type, f.classReference,
                    f.isPublic ? "public" : "private", f.slot);
      text += line;
    }
    for (size_t i = 0; i < cls.methods.size(); ++i) {
      std::snprintf(line, sizeof line, "method %zu: function #%d, view %d\n", i,
                    cls.methods[i].functionReference, cls.methods[i].viewOffset);
      text += line;
    }
    for (const GSByteCode::FunctionRecord& f : cls.functions) {
      text += "\n" + DescribeFunction(library, f);
    }
  }
  return text;
}

}  // namespace GSLibraryFormat
