#include "gsruntime/native_params.h"

#include <cstdarg>
#include <cstdio>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/object_bridge.h"

namespace GSRuntime {

bool RaiseScriptError(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (GSThread* thread = CurrentThread()) thread->RaiseException(text, false);
  return false;
}

GSString* StringParam(GSStack* stack, u32 index) {
  const u32 reference = ParamWord(stack, index);
  return reference != 0 ? GSString::FromReference(reference) : nullptr;
}

bool ObjectParamError(u32 index, bool isNull) {
  return isNull ? RaiseScriptError("null object at parameter %u", index)
                : RaiseScriptError("incorrect parameter type at parameter %u", index);
}

namespace {

// The text of a string parameter under GetParam's rules; false with the error raised.
bool StringText(GSStack* stack, u32 index, bool optional, const GSString** text) {
  *text = StringParam(stack, index);
  if (*text == nullptr) {
    return optional || RaiseScriptError("null string at parameter %u", index);
  }
  if ((*text)->IsEmpty()) {
    *text = nullptr;
    return optional || RaiseScriptError("empty string at parameter %u", index);
  }
  return true;
}

}  // namespace

bool GetParam(GSStack* stack, u32 index, Qel::PString* out, bool optional) {
  const GSString* text = nullptr;
  if (!StringText(stack, index, optional, &text)) return false;
  *out = text != nullptr ? Qel::PString(text->View()) : Qel::PString();
  return true;
}

bool GetParam(GSStack* stack, u32 index, Qel::String* out, bool optional) {
  const GSString* text = nullptr;
  if (!StringText(stack, index, optional, &text)) return false;
  *out = text != nullptr ? Qel::String(text->View()) : Qel::String();
  return true;
}

bool PushString(GSStack* stack, std::string_view text) {
  if (text.size() > size_t(GSString::kMaxLength)) return false;
  return PushCounted(stack, ObjectBridge::NewString(text.data(), static_cast<u32>(text.size())));
}

bool PushCounted(GSStack* stack, GSHandle handle) {
  if (stack->PushReference(handle)) return true;
  ObjectBridge::ReleaseIfSet(handle);
  return false;
}

bool PushObject(GSStack* stack, const GSObjectReference* object) {
  const GSHandle handle = object != nullptr ? object->GetScriptReference() : 0;
  ObjectBridge::AddIfSet(handle);
  return PushCounted(stack, handle);
}

}  // namespace GSRuntime
