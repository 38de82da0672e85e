// GameScript type codes and specifier bits, one numbering for the compiler, the library files and
// the runtime, and the names under which messages and signature texts show them.
#pragma once

#include <string>

#include "qel/types.h"

namespace GSTypes {

// Type codes; an array type is its element's code plus kTypeArrayOffset.
enum TypeCodeValue : i32 {
  kTypeVoid = 0,
  kTypeBool = 1,
  kTypeInt = 2,
  kTypeFloat = 3,
  kTypeString = 4,
  kTypeObject = 5,
  kTypeArrayOffset = 6,
  kTypeVoidArray = 6,
  kTypeBoolArray = 7,
  kTypeIntArray = 8,
  kTypeFloatArray = 9,
  kTypeStringArray = 10,
  kTypeObjectArray = 11,
  kTypeNone = 12,  // not yet typed, or in error
  kTypeNull = 13,
};

// Declaration specifiers of classes, functions and variables.
enum SpecifierBit : u32 {
  kSpecPublic = 0x001,
  kSpecNative = 0x002,
  kSpecStatic = 0x004,
  kSpecFinal = 0x008,
  kSpecThread = 0x010,
  kSpecConstructor = 0x020,
  kSpecGame = 0x040,
  kSpecDefine = 0x080,
  kSpecSecured = 0x100,
};

// A type as messages and signatures name it: a code and, for object types, a class name.
struct TypeDescriptor {
  i32 code = kTypeNone;
  const char* className = nullptr;  // null or empty: no class
};

// "void" ... "object[]", "" for no type, "null"; "illegal type" for any other code.
const char* TypeName(i32 code);
// The class name (with "[]" for an object array) when there is one, else the code's name;
// "illegal type" without a descriptor.
std::string TypeName(const TypeDescriptor* type);
// The same name appended to `out`.
void AppendTypeName(std::string& out, const TypeDescriptor& type);

// Exact type equality: null and object match either way; objects need equal class names (both
// absent counts as equal).
bool TypesEqual(const TypeDescriptor& a, const TypeDescriptor& b);

// The message name of an operator code; "" for an unknown code.
const char* OperatorName(i32 code);

// The specifier words of a flags word, each followed by one blank ("secured" before "define").
std::string SpecifierText(u32 flags);

// Inverse of TypeName: the code named by the text, 13 for "null", 11 for a text holding "[]"
// (an array of a class), 5 for a text that `isKnownClass` accepts, else 12.
using ClassPredicate = bool (*)(const char* name, void* context);
i32 TypeCode(const char* text, ClassPredicate isKnownClass = nullptr, void* context = nullptr);

// Where the parameter list of a signature text "$r@C::f(a,b)" starts: after the first "(";
// null for a text without one.
const char* SignatureParameters(const char* signature);
// Takes the next parameter's type text into `out` and moves `cursor` past its separator; false
// (and `out` empty) at the end of the list, which an empty piece also marks.
bool NextSignatureParameter(const char*& cursor, std::string& out);

// Whether a value of type `source` may be stored into `target` (before any class check).
bool ConversionAdmitted(i32 target, i32 source);

}  // namespace GSTypes
