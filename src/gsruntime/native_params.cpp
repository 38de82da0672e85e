#include "gsruntime/native_params.h"

#include <cstdarg>
#include <cstdio>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_native_function.h"
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

std::string_view SignatureClass(std::string_view signature) {
  const size_t at = signature.find('@');
  const size_t colons = signature.find("::");
  if (at == std::string_view::npos || colons == std::string_view::npos || colons < at) return {};
  return signature.substr(at + 1, colons - at - 1);
}

std::string NativeMethodName(std::string_view signature) {
  const std::string_view cls = SignatureClass(signature);
  if (cls.empty()) return std::string(signature);
  std::string_view method = signature.substr(signature.find("::") + 2);
  method = method.substr(0, method.find('('));
  return std::string(cls) + "." + std::string(method);
}

namespace {

// A parameter error names the native it stops, as the natives' own errors do; the native's frame
// is the current one while it reads its parameters.
bool RaiseParamError(const char* reason, u32 index) {
  std::string native;
  if (GSThread* thread = CurrentThread()) {
    const GSFrameHeader* frame = thread->Stack().CurrentFrame();
    const GSFunction* function = frame != nullptr ? GSStack::FunctionOf(frame) : nullptr;
    if (function != nullptr && function->native != nullptr) {
      native = NativeMethodName(function->native->Signature().View()) + "> ";
    }
  }
  return RaiseScriptError("%s%s at parameter %u", native.c_str(), reason, index);
}

}  // namespace

GSString* StringParam(GSStack* stack, u32 index) {
  const u32 reference = ParamWord(stack, index);
  return reference != 0 ? GSString::FromReference(reference) : nullptr;
}

bool ObjectParamError(u32 index, bool isNull) {
  return RaiseParamError(isNull ? "null object" : "incorrect parameter type", index);
}

namespace {

// The text of a string parameter under GetParam's rules; false with the error raised.
bool StringText(GSStack* stack, u32 index, bool optional, const GSString** text) {
  *text = StringParam(stack, index);
  if (*text == nullptr) {
    return optional || RaiseParamError("null string", index);
  }
  if ((*text)->IsEmpty()) {
    *text = nullptr;
    return optional || RaiseParamError("empty string", index);
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
