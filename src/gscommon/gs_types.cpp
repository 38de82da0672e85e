#include "gscommon/gs_types.h"

#include <cstring>

namespace GSTypes {

namespace {

const char* const kTypeNames[] = {"void",     "bool",     "int",    "float", "string",
                                  "object",   "void[]",   "bool[]", "int[]", "float[]",
                                  "string[]", "object[]", "",       "null"};

const char* const kOperatorNames[] = {"--",  "++", ".",   "+",    "-",       "!",    "~",
                                      "--",  "++", "[,]", "[]",   "()",      "*",    "/",
                                      "%",   "+",  "-",   "<<",   ">>",      "<",    ">",
                                      "<=",  ">=", "==",  "!=",   "&",       "^",    "|",
                                      "and", "or", "=",   "size", "isclass", "copy", "new"};

struct SpecifierWord {
  u32 bit;
  const char* word;
};
// "secured" is tested and written before "define".
const SpecifierWord kSpecifierWords[] = {
    {kSpecPublic, "public"}, {kSpecNative, "native"},   {kSpecStatic, "static"},
    {kSpecFinal, "final"},   {kSpecThread, "thread"},   {kSpecConstructor, "constructor"},
    {kSpecGame, "game"},     {kSpecSecured, "secured"}, {kSpecDefine, "define"},
};

bool HasClass(const char* name) { return name != nullptr && *name != 0; }

bool IsValueArray(i32 code) { return code >= kTypeBoolArray && code <= kTypeObjectArray; }

}  // namespace

const char* TypeName(i32 code) {
  if (code < 0 || code >= i32(sizeof kTypeNames / sizeof kTypeNames[0])) return "illegal type";
  return kTypeNames[code];
}

std::string TypeName(const TypeDescriptor* type) {
  if (type == nullptr) return "illegal type";
  std::string name;
  AppendTypeName(name, *type);
  return name;
}

void AppendTypeName(std::string& out, const TypeDescriptor& type) {
  if (!HasClass(type.className)) {
    out += TypeName(type.code);
    return;
  }
  out += type.className;
  if (type.code == kTypeObjectArray) out += "[]";
}

bool TypesEqual(const TypeDescriptor& a, const TypeDescriptor& b) {
  if ((a.code == kTypeNull && b.code == kTypeObject) ||
      (a.code == kTypeObject && b.code == kTypeNull)) {
    return true;
  }
  if (a.code != b.code) return false;
  if (a.code != kTypeObject) return true;
  const bool aHas = HasClass(a.className);
  const bool bHas = HasClass(b.className);
  if (aHas != bHas) return false;
  return !aHas || std::strcmp(a.className, b.className) == 0;
}

const char* OperatorName(i32 code) {
  if (code < 0 || code >= i32(sizeof kOperatorNames / sizeof kOperatorNames[0])) return "";
  return kOperatorNames[code];
}

std::string SpecifierText(u32 flags) {
  std::string text;
  for (const SpecifierWord& s : kSpecifierWords) {
    if (flags & s.bit) {
      text += s.word;
      text += ' ';
    }
  }
  return text;
}

i32 TypeCode(const char* text, ClassPredicate isKnownClass, void* context) {
  if (text == nullptr) return kTypeNone;
  for (i32 code = 0; code < i32(sizeof kTypeNames / sizeof kTypeNames[0]); ++code) {
    // The empty name of "no type" is not a name a text can ask for.
    if (code != kTypeNone && std::strcmp(kTypeNames[code], text) == 0) return code;
  }
  if (std::strstr(text, "[]") != nullptr) return kTypeObjectArray;
  if (isKnownClass != nullptr && isKnownClass(text, context)) return kTypeObject;
  return kTypeNone;
}

const char* SignatureParameters(const char* signature) {
  const char* open = signature != nullptr ? std::strchr(signature, '(') : nullptr;
  return open != nullptr ? open + 1 : nullptr;
}

bool NextSignatureParameter(const char*& cursor, std::string& out) {
  out.clear();
  if (cursor == nullptr) return false;
  const char* end = cursor + std::strcspn(cursor, ",)");
  out.assign(cursor, size_t(end - cursor));
  cursor = *end != 0 ? end + 1 : end;
  if (out.empty()) {
    cursor = nullptr;
    return false;
  }
  return true;
}

bool ConversionAdmitted(i32 target, i32 source) {
  switch (target) {
    case kTypeBool:
    case kTypeInt:
    case kTypeFloat:
      return source == kTypeBool || source == kTypeInt || source == kTypeFloat;
    case kTypeString:
      return (source >= kTypeBool && source <= kTypeString) || source == kTypeNull;
    case kTypeObject:
      return source == kTypeObject || source == kTypeNull;
    case kTypeNull:
      return source == kTypeString || source == kTypeObject || IsValueArray(source);
    default:
      if (IsValueArray(target)) return source == target || source == kTypeNull;
      return false;  // void, void[] and no type take nothing
  }
}

}  // namespace GSTypes
