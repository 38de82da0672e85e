#include "scripthost/online_script_hooks.h"

#include "scripthost/native_binding.h"

namespace ScriptHost {

namespace {

const OnlineScriptHooks* gHooks = nullptr;

}  // namespace

void SetOnlineScriptHooks(const OnlineScriptHooks* hooks) { gHooks = hooks; }

GSRuntime::GSNativeFunction* BindOnlineNative(const Qel::PString& className,
                                              const Qel::PString& signature) {
  GSRuntime::GSNativeFunction* native = gHooks != nullptr && gHooks->bindNative != nullptr
                                            ? gHooks->bindNative(className, signature)
                                            : nullptr;
  return native != nullptr ? native : new GSRuntime::GSUnbuiltNativeFunction(className, signature);
}

GSRuntime::GSHandle MakeOnlineAccess(GSRuntime::GSContext* context, GSRuntime::GSObject* owner,
                                     const KUID& asset) {
  if (gHooks == nullptr || gHooks->makeOnlineAccess == nullptr) return 0;
  return gHooks->makeOnlineAccess(context, owner, asset);
}

}  // namespace ScriptHost
