// The script classes "OnlineAccess" and "OnlineGroup" live in the online layer, above this one.
// It installs its hooks here before the script machine starts: the bindings of those classes'
// natives (their rows of the standard tables bind through BindOnlineNative) and the factory that
// the Library class uses for GetOnlineAccess.
#pragma once

#include "core/kuid.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/script_arena.h"
#include "qel/pstring.h"

// The natives of both classes, written once, in registration order: X(signature, method), where
// `method` is the member of the class's native object that runs the native. The standard tables
// expand these lists into rows that forward to BindOnlineNative, so that every declaration links
// without the online layer; the online layer expands them into its bodies.
// clang-format off
#define SCRIPTHOST_ONLINE_ACCESS_NATIVES(X)                                  \
  X("$void@OnlineAccess::Connect()", Connect)                                \
  X("$int@OnlineAccess::GetStatus()", GetStatus)                             \
  X("$void@OnlineAccess::Disconnect()", Disconnect)                          \
  X("$string@OnlineAccess::GetUsername()", GetUsername)                      \
  X("$int@OnlineAccess::GetLocalData(string,Soup)", GetLocalData)            \
  X("$int@OnlineAccess::SetLocalData(string,Soup)", SetLocalData)            \
  X("$int@OnlineAccess::GetProfileData(string,Soup)", GetProfileData)        \
  X("$int@OnlineAccess::SetProfileData(string,Soup)", SetProfileData)        \
  X("$int@OnlineAccess::PostMessage(string,Soup)", PostMessage)              \
  X("$int@OnlineAccess::CollectMessage(string,Soup)", CollectMessage)        \
  X("$OnlineGroup@OnlineAccess::CreateGroup(int)", CreateGroup)              \
  X("$OnlineGroup@OnlineAccess::OpenGroup(string,int)", OpenGroup)           \
  X("$int@OnlineAccess::PostOfflineMessage(Soup)", PostOfflineMessage)       \
  X("$int@OnlineAccess::CollectOfflineMessage(Soup)", CollectOfflineMessage) \
  X("$bool@OnlineAccess::CanAccessMultiplayer()", CanAccessMultiplayer)

#define SCRIPTHOST_ONLINE_GROUP_NATIVES(X)                                   \
  X("$void@OnlineGroup::Connect()", Connect)                                 \
  X("$int@OnlineGroup::GetStatus()", GetStatus)                              \
  X("$void@OnlineGroup::Disconnect()", Disconnect)                           \
  X("$string@OnlineGroup::GetOnlineGroupCookie()", GetOnlineGroupCookie)     \
  X("$void@OnlineGroup::AddUser(string)", AddUser)                           \
  X("$void@OnlineGroup::RemoveUser(string)", RemoveUser)                     \
  X("$int@OnlineGroup::CountUsers()", CountUsers)                            \
  X("$string@OnlineGroup::GetIndexedUser(int)", GetIndexedUser)              \
  X("$int@OnlineGroup::FindUser(string)", FindUser)                          \
  X("$int@OnlineGroup::GetUserStatus(int)", GetUserStatus)                   \
  X("$int@OnlineGroup::PostMessage(Soup)", PostMessage)                      \
  X("$int@OnlineGroup::CollectMessage(string,Soup)", CollectMessage)         \
  X("$void@OnlineGroup::SetModeFlags(int,int)", SetModeFlags)                \
  X("$void@OnlineGroup::SetUserModeFlags(string,int,int)", SetUserModeFlags) \
  X("$int@OnlineGroup::GetUserModeFlags(string)", GetUserModeFlags)
// clang-format on

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
