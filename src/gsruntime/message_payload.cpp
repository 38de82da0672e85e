#include "gsruntime/message_payload.h"

#include "gsruntime/gs_object.h"

namespace GSRuntime {

namespace {

GSPayloadHooks g_hooks;

}  // namespace

void SetPayloadHooks(const GSPayloadHooks& hooks) { g_hooks = hooks; }

Soup PayloadOf(GSHandle argument) {
  GSObjectReference* object = argument != 0 ? GSObjectReference::FromReference(argument) : nullptr;
  const Soup* soup =
      object != nullptr && g_hooks.soupOf != nullptr ? g_hooks.soupOf(object) : nullptr;
  Soup payload;
  if (soup == nullptr) return payload;
  // A copy: the sender may go on changing its soup while the message waits.
  payload.Copy(*soup);
  StripPrivateTags(payload);
  return payload;
}

void StripPrivateTags(Soup& soup) {
  for (u32 index = 0; index < soup.CountTags();) {
    const Qel::PString name = soup.GetIndexedTagName(index);
    if (name.View().starts_with("__")) {
      soup.RemoveNamedTag(name);
    } else {
      ++index;
    }
  }
}

GSHandle WrapPayload(GSContext* context, const Soup& payload) {
  if (payload.GetRoot() == nullptr || g_hooks.wrap == nullptr) return 0;
  return g_hooks.wrap(context, payload);
}

}  // namespace GSRuntime
