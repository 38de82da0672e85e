#include "scripthost/native_binding.h"

namespace GSRuntime {

std::string_view SignatureClass(std::string_view signature) {
  const size_t at = signature.find('@');
  const size_t colons = signature.find("::");
  if (at == std::string_view::npos || colons == std::string_view::npos || colons < at) return {};
  return signature.substr(at + 1, colons - at - 1);
}

std::string GSUnbuiltNativeFunction::MethodName(std::string_view signature) {
  const std::string_view cls = SignatureClass(signature);
  if (cls.empty()) return std::string(signature);
  std::string_view method = signature.substr(signature.find("::") + 2);
  method = method.substr(0, method.find('('));
  return std::string(cls) + "." + std::string(method);
}

GSUnbuiltNativeFunction::GSUnbuiltNativeFunction(Qel::PString className, Qel::PString signature)
    : GSNativeFunction(std::move(className), std::move(signature)),
      error_(MethodName(Signature().View()) + "> not implemented") {}

bool GSUnbuiltNativeFunction::Call(GSHandle, GSStack*) {
  // The error ends the thread; the call itself succeeded, so the thread does not also stop with
  // a native-call error.
  RaiseScriptError("%s", error_.c_str());
  return true;
}

}  // namespace GSRuntime
