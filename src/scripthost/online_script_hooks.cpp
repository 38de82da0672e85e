#include "scripthost/online_script_hooks.h"

#include "scripthost/native_binding.h"

namespace ScriptHost {

namespace {

const OnlineScriptHooks* g_hooks = nullptr;

}  // namespace

void SetOnlineScriptHooks(const OnlineScriptHooks* hooks) { g_hooks = hooks; }

GSRuntime::GSNativeFunction* BindOnlineNative(const Qel::PString& className,
                                              const Qel::PString& signature) {
  GSRuntime::GSNativeFunction* native = g_hooks != nullptr && g_hooks->bindNative != nullptr
                                            ? g_hooks->bindNative(className, signature)
                                            : nullptr;
  return native != nullptr ? native : new GSRuntime::GSUnbuiltNativeFunction(className, signature);
}

GSRuntime::GSHandle MakeOnlineAccess(GSRuntime::GSContext* context, GSRuntime::GSObject* owner,
                                     const KUID& asset) {
  if (g_hooks == nullptr || g_hooks->makeOnlineAccess == nullptr) return 0;
  return g_hooks->makeOnlineAccess(context, owner, asset);
}

}  // namespace ScriptHost
