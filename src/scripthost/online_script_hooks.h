// The script classes "OnlineAccess" and "OnlineGroup" live in the online layer, above this one.
// It installs its hooks here before the script machine starts: the bindings of those classes'
// natives (their rows of the standard tables bind through BindOnlineNative) and the factory that
// the Library class uses for GetOnlineAccess.
#pragma once

#include "core/kuid.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/script_arena.h"
#include "qel/pstring.h"

namespace GSRuntime {
class GSContext;
class GSObject;
}  // namespace GSRuntime

namespace ScriptHost {

struct OnlineScriptHooks {
  // The native of that signature; null when the online layer has none.
  GSRuntime::GSNativeFunction* (*bindNative)(const Qel::PString& className,
                                             const Qel::PString& signature);
  // The OnlineAccess instance of (owner, asset) in the context, as MakeOnlineAccess gives it.
  GSRuntime::GSHandle (*makeOnlineAccess)(GSRuntime::GSContext* context, GSRuntime::GSObject* owner,
                                          const KUID& asset);
};

// Null removes them; the pointed-to hooks must outlive their use.
void SetOnlineScriptHooks(const OnlineScriptHooks* hooks);

// The installed binding of an OnlineAccess or OnlineGroup native; without one, the native raises
// "<Class>.<Method>> not implemented".
GSRuntime::GSNativeFunction* BindOnlineNative(const Qel::PString& className,
                                              const Qel::PString& signature);

// The `OnlineAccess` object of the owner (a Library's native object) for the asset: the live one
// of the same owner and asset, else a new one. The reference of its script instance, counted for
// the caller, or 0 when the online layer is not installed or the object cannot be made.
GSRuntime::GSHandle MakeOnlineAccess(GSRuntime::GSContext* context, GSRuntime::GSObject* owner,
                                     const KUID& asset);

}  // namespace ScriptHost
