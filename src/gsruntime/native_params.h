// What every native does with its frame: reads its parameters (slot 1 is the first) and pushes
// its result. Two families, as a native needs them:
// - the checked reads (GetParam) raise the parameter errors scripts see ("null object at
//   parameter %d" and the others) on the running thread and return false, so a native returns
//   at once and the thread ends;
// - the plain reads (IntParam, StringParam, ObjectParam...) never raise: null or an object of
//   another class reads as absent, for natives whose scripts may pass nothing.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "gsruntime/gs_object.h"
#include "gsruntime/gs_stack.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace GSRuntime {

class GSString;

// Raises the formatted text as a script exception on the running thread (which then ends) and
// returns false, so that a native can return its result directly.
bool RaiseScriptError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The class part of a signature text ("Soup" of "$int@Soup::CountTags()"); empty when the text
// is not a signature.
std::string_view SignatureClass(std::string_view signature);
// "<Class>.<Method>" of a signature text "$<result>@<Class>::<Method>(<parameters>)", which
// begins every script error a native raises; the text itself when it is not a signature.
std::string NativeMethodName(std::string_view signature);

inline u32 ParamWord(GSStack* stack, u32 index) {
  return stack->Locals(stack->CurrentFrame())[index];
}
inline i32 IntParam(GSStack* stack, u32 index) { return static_cast<i32>(ParamWord(stack, index)); }
inline bool BoolParam(GSStack* stack, u32 index) { return ParamWord(stack, index) != 0; }
inline f32 FloatParam(GSStack* stack, u32 index) {
  const u32 word = ParamWord(stack, index);
  f32 value;
  std::memcpy(&value, &word, sizeof value);
  return value;
}

// The native object of an object parameter as T; null for a null reference, a pure script
// object or an object of another class.
template <class T>
T* ObjectParam(GSStack* stack, u32 index) {
  const u32 reference = ParamWord(stack, index);
  return reference != 0 ? dynamic_cast<T*>(GSObjectReference::FromReference(reference)) : nullptr;
}
// A string parameter; null for a null reference or another kind of object.
GSString* StringParam(GSStack* stack, u32 index);

// An object parameter of class T. A non-null reference of another class (or without a native
// object) raises "incorrect parameter type at parameter %d"; a null one raises "null object at
// parameter %d" unless `allowNull`, when it reads as null.
bool ObjectParamError(u32 index, bool isNull);
template <class T>
bool GetParam(GSStack* stack, u32 index, T** out, bool allowNull) {
  const u32 reference = ParamWord(stack, index);
  *out = ObjectParam<T>(stack, index);
  if (*out != nullptr || (reference == 0 && allowNull)) return true;
  return ObjectParamError(index, reference == 0);
}
// A string parameter's text. Null or not a string: with `optional` the empty text, else "null
// string at parameter %d"; an empty text: with `optional` the empty text, else "empty string at
// parameter %d".
bool GetParam(GSStack* stack, u32 index, Qel::PString* out, bool optional);
bool GetParam(GSStack* stack, u32 index, Qel::String* out, bool optional);

// Pushes a new string; false (the string released) when the stack has no room for it, or when
// the text passes the string cap (a script error).
bool PushString(GSStack* stack, std::string_view text);
// Pushes a reference the native already counted; false (released) when there is no room.
bool PushCounted(GSStack* stack, GSHandle handle);
// Pushes the script instance bound to a native object, counted once more; null for no object.
bool PushObject(GSStack* stack, const GSObjectReference* object);

}  // namespace GSRuntime
