#include "gsruntime/str_natives.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gsruntime/gs_array.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_stack.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/math_natives.h"
#include "gsruntime/native_params.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

namespace {

// Blank, tab, carriage return, line feed and vertical tab: what trims, tokens and unpacking
// skip when the script gives no set of its own.
constexpr std::string_view kDefaultSet(" \t\r\n\v");

// The set a script gave, or the default one when it gave null or "".
std::string_view SetParam(GSStack* stack, u32 index) {
  const GSString* set = StringParam(stack, index);
  return set != nullptr && set->Length() != 0 ? set->View() : kDefaultSet;
}

// atoi's reading, held to the int range: a longer run of digits gives INT_MAX or INT_MIN rather
// than whatever the wider value's low bits happen to be.
i32 ReadInt(const char* text) {
  const i64 value = std::strtoll(text, nullptr, 10);
  return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<i32>(value);
}

f32 ReadFloat(const char* text) { return static_cast<f32>(std::atof(text)); }

bool TrimLeft(GSHandle, GSStack* stack) {
  GSString* text = StringParam(stack, 1);
  if (text == nullptr || text->IsEmpty()) return true;
  std::string& s = text->Std();
  s.erase(0, std::min(s.find_first_not_of(SetParam(stack, 2)), s.size()));
  return true;
}

bool TrimRight(GSHandle, GSStack* stack) {
  GSString* text = StringParam(stack, 1);
  if (text == nullptr || text->IsEmpty()) return true;
  std::string& s = text->Std();
  const size_t last = s.find_last_not_of(SetParam(stack, 2));
  s.resize(last == std::string::npos ? 0 : last + 1);
  return true;
}

// A null string reads as 0: the native still pushes its one result word.
bool ToInt(GSHandle, GSStack* stack) {
  const GSString* text = StringParam(stack, 1);
  return stack->PushInt(text != nullptr ? ReadInt(text->CStr()) : 0);
}

bool ToFloat(GSHandle, GSStack* stack) {
  const GSString* text = StringParam(stack, 1);
  return stack->PushFloat(text != nullptr ? ReadFloat(text->CStr()) : 0.0f);
}

bool ToUpper(GSHandle, GSStack* stack) {
  if (GSString* text = StringParam(stack, 1)) text->ToUpper();
  return true;
}

bool ToLower(GSHandle, GSStack* stack) {
  if (GSString* text = StringParam(stack, 1)) text->ToLower();
  return true;
}

bool Tokens(GSHandle, GSStack* stack) {
  GSHandle made = 0;
  if (ObjectBridge::NewArray(0, true, &made) != kRunDone) return stack->PushReference(0);
  GSArray* array = GSArray::FromReference(made);
  if (const GSString* text = StringParam(stack, 1)) {
    const Qel::String set(SetParam(stack, 2));
    size_t position = 0;
    for (;;) {
      const Qel::String token = text->Token(set.CStr(), position);
      if (token.IsEmpty()) break;
      const GSHandle word = ObjectBridge::NewString(token.CStr(), token.Length());
      if (word == 0 || !array->SetElement(array->size, word)) break;
    }
  }
  return PushCounted(stack, made);
}

// Takes the first word off the string in place: leading blanks are skipped, and the string keeps
// the remainder from the blank that ended the word. Empty for a string of blanks.
std::string TakeWord(GSString* text) {
  std::string& s = text->Std();
  const size_t begin = std::min(s.find_first_not_of(kDefaultSet), s.size());
  const size_t end = std::min(s.find_first_of(kDefaultSet, begin), s.size());
  std::string word = s.substr(begin, end - begin);
  s.erase(0, end);
  return word;
}

// A null or empty string is left alone and reads as 0, 0.0 or a new empty string.
GSString* UnpackSource(GSStack* stack) {
  GSString* text = StringParam(stack, 1);
  return text != nullptr && !text->IsEmpty() ? text : nullptr;
}

bool UnpackInt(GSHandle, GSStack* stack) {
  GSString* text = UnpackSource(stack);
  return stack->PushInt(text != nullptr ? ReadInt(TakeWord(text).c_str()) : 0);
}

bool UnpackFloat(GSHandle, GSStack* stack) {
  GSString* text = UnpackSource(stack);
  return stack->PushFloat(text != nullptr ? ReadFloat(TakeWord(text).c_str()) : 0.0f);
}

bool UnpackString(GSHandle, GSStack* stack) {
  GSString* text = UnpackSource(stack);
  return PushString(stack, text != nullptr ? TakeWord(text) : std::string());
}

// Find(text, pattern, start): the pattern's position in the text from `start`; -1 when it is not
// there or an argument is missing or out of range.
bool Find(GSHandle, GSStack* stack) {
  const GSString* text = StringParam(stack, 1);
  const GSString* pattern = StringParam(stack, 2);
  const i32 start = IntParam(stack, 3);
  i32 found = -1;
  if (text != nullptr && pattern != nullptr && start >= 0 && u32(start) <= text->Length()) {
    const size_t at = text->View().find(pattern->View(), size_t(start));
    found = at == std::string_view::npos ? -1 : static_cast<i32>(at);
  }
  return stack->PushInt(found);
}

struct Native {
  const char* signature;
  GSCNativeFunction::Function function;
};

constexpr Native kStrNatives[] = {
    {"$void@Str::TrimLeft(string,string)", TrimLeft},
    {"$void@Str::TrimRight(string,string)", TrimRight},
    {"$int@Str::ToInt(string)", ToInt},
    {"$float@Str::ToFloat(string)", ToFloat},
    {"$void@Str::ToUpper(string)", ToUpper},
    {"$void@Str::ToLower(string)", ToLower},
    {"$string[]@Str::Tokens(string,string)", Tokens},
    {"$int@Str::UnpackInt(string)", UnpackInt},
    {"$float@Str::UnpackFloat(string)", UnpackFloat},
    {"$string@Str::UnpackString(string)", UnpackString},
    {"$int@Str::Find(string,string,int)", Find},
};

}  // namespace

void RegisterStrAndMathNatives(GSMachine& machine) {
  for (const Native& native : kStrNatives) {
    machine.RegisterNative(new GSCNativeFunction("Str", native.signature, native.function));
  }
  RegisterMathNatives(machine);
}

}  // namespace GSRuntime
