#include "scripthost/native_binding.h"

namespace GSRuntime {

GSUnbuiltNativeFunction::GSUnbuiltNativeFunction(Qel::PString className, Qel::PString signature)
    : GSNativeFunction(std::move(className), std::move(signature)),
      error_(NativeMethodName(Signature().View()) + "> not implemented") {}

bool GSUnbuiltNativeFunction::Call(GSHandle, GSStack*) {
  // The error ends the thread; the call itself succeeded, so the thread does not also stop with
  // a native-call error.
  RaiseScriptError("%s", error_.c_str());
  return true;
}

}  // namespace GSRuntime
