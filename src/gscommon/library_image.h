// Reads a library image (".gsl", library_format.h) into plain tables, for the disassembler tool
// and for checks of what the compiler writes. Every length, count and offset is checked against
// the image; nothing is linked.
#pragma once

#include <string>
#include <vector>

#include "gscommon/function_record.h"
#include "qel/types.h"

namespace GSLibraryFormat {

struct ClassImage {
  struct Parent {
    i32 classReference;
    i32 memberOffset;
    u32 direct;
  };
  struct Field {
    u32 name;
    u32 type;
    i32 classReference;
    u32 isPublic;
    i32 slot;
  };
  struct Method {
    i32 functionReference;
    i32 viewOffset;
  };
  struct LayoutEntry {
    i32 kind;
    i32 word;
    i32 value;
  };
  u32 name = 0;
  u32 flags = 0;
  std::vector<Parent> parents;
  std::vector<GSByteCode::FunctionRecord> functions;  // the last one is the field initialiser
  std::vector<Field> fields;
  std::vector<Method> methods;
  u32 instanceWords = 0;
  std::vector<LayoutEntry> layout;
  std::vector<u32> referenceFields;
};

struct LibraryImage {
  u32 imageLength = 0;
  u32 magic = 0;
  u32 versionBits = 0;
  u32 sourceId = 0;
  u32 nameId = 0;
  std::string name;
  std::vector<std::pair<u32, u32>> units;  // (sourceId, nameId)
  std::vector<std::string> strings;
  u32 stringSectionEnd = 0;                          // image offset after section 3
  std::vector<std::pair<u32, u32>> classReferences;  // (unit, name string)
  struct FunctionReference {
    u32 classReference;
    u32 name;
    i32 slot;
  };
  std::vector<FunctionReference> functionReferences;
  std::vector<ClassImage> classes;

  // The string of that number, or "?" for a number out of range.
  const std::string& String(u32 number) const;
};

// The bytes of a library file; false when it cannot be read or is beyond an image's size.
bool ReadLibraryFile(const std::string& path, std::vector<u8>* bytes);
// The header and the unit table (section 2) alone: enough to tell which units a library was
// built from without reading the rest.
bool ReadLibraryHead(const u8* data, u32 size, LibraryImage* out, std::string* error);
// False, with `error` telling where, for an image whose magic, tags, lengths or counts do not
// hold together.
bool ReadLibraryImage(const u8* data, u32 size, LibraryImage* out, std::string* error);

// A listing of the whole library: header, units, references, then each class with its fields,
// method table and functions (each function's code as DisassembleCode lists it).
std::string DescribeLibrary(const LibraryImage& library);

// The listing of one function of a class: "function <signature>" then its code.
std::string DescribeFunction(const LibraryImage& library, const GSByteCode::FunctionRecord& f);

}  // namespace GSLibraryFormat
