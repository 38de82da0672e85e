#include "gsruntime/str_natives.h"

#include <string_view>

#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_stack.h"
#include "gsruntime/gs_string.h"

namespace GSRuntime {

namespace {

// Find(text, pattern, start): the pattern's position in the text from `start`; -1 when it is not
// there or an argument is missing or out of range.
bool Find(GSHandle, GSStack* stack) {
  const u32* locals = stack->Locals(stack->CurrentFrame());
  const GSString* text = locals[1] != 0 ? GSString::FromReference(locals[1]) : nullptr;
  const GSString* pattern = locals[2] != 0 ? GSString::FromReference(locals[2]) : nullptr;
  const i32 start = static_cast<i32>(locals[3]);
  i32 found = -1;
  if (text != nullptr && pattern != nullptr && start >= 0 && u32(start) <= text->Length()) {
    const size_t at = text->View().find(pattern->View(), size_t(start));
    found = at == std::string_view::npos ? -1 : static_cast<i32>(at);
  }
  return stack->PushInt(found);
}

struct Native {
  const char* className;
  const char* signature;
  GSCNativeFunction::Function function;
};

constexpr Native kNatives[] = {
    {"Str", "$void@Str::TrimLeft(string,string)", nullptr},
    {"Str", "$void@Str::TrimRight(string,string)", nullptr},
    {"Str", "$int@Str::ToInt(string)", nullptr},
    {"Str", "$float@Str::ToFloat(string)", nullptr},
    {"Str", "$void@Str::ToUpper(string)", nullptr},
    {"Str", "$void@Str::ToLower(string)", nullptr},
    {"Str", "$string[]@Str::Tokens(string,string)", nullptr},
    {"Str", "$int@Str::UnpackInt(string)", nullptr},
    {"Str", "$float@Str::UnpackFloat(string)", nullptr},
    {"Str", "$string@Str::UnpackString(string)", nullptr},
    {"Str", "$int@Str::Find(string,string,int)", Find},
    {"Math", "$float@Math::Rand(float,float)", nullptr},
    {"Math", "$int@Math::Rand(int,int)", nullptr},
    {"Math", "$float@Math::Sqrt(float)", nullptr},
};

}  // namespace

void RegisterStrAndMathNatives(GSMachine& machine) {
  for (const Native& native : kNatives) {
    machine.RegisterNative(
        new GSCNativeFunction(native.className, native.signature, native.function));
  }
}

}  // namespace GSRuntime
