#include "scripthost/gso_soup.h"

#include <algorithm>
#include <string>

#include "gsruntime/gs_string.h"
#include "gsruntime/message_payload.h"
#include "scripthost/gso_kuid.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

// A tag-name parameter, lower-cased; false with the parameter error raised. Interned once, as
// the lower-case text: most natives of a script's loop read a name.
bool NameParam(GSStack* stack, u32 index, Qel::PString* name) {
  const GSRuntime::GSString* text = GSRuntime::StringParam(stack, index);
  if (text == nullptr || text->IsEmpty()) return GSRuntime::GetParam(stack, index, name, false);
  const std::string_view view = text->View();
  if (std::none_of(view.begin(), view.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
    *name = Qel::PString(view);
    return true;
  }
  std::string lower(view);
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  *name = Qel::PString(std::string_view(lower));
  return true;
}

// The soup object of a parameter (null not allowed) that must not be locked; false with the
// error raised.
bool UnlockedSoupParam(GSStack* stack, u32 index, const char* lockedError, GSOSoup** out) {
  if (!GSRuntime::GetParam(stack, index, out, false)) return false;
  return !(*out)->IsLocked() || GSRuntime::RaiseScriptError("%s", lockedError);
}

}  // namespace

GSHandle GSOSoup::New(GSRuntime::GSContext* owner, const Soup& soup, bool locked) {
  return ScriptHost::BindNewObject(new GSOSoup(soup, locked), ScriptHost::ScriptClassId::kSoup,
                                   owner);
}

void GSOSoup::InstallPayloadHooks() {
  GSRuntime::GSPayloadHooks hooks;
  hooks.soupOf = [](GSRuntime::GSObjectReference* object) -> const Soup* {
    const auto* soup = dynamic_cast<GSOSoup*>(object);
    return soup != nullptr ? &soup->soup_ : nullptr;
  };
  // Unlocked: the message's copy is the handler's to change.
  hooks.wrap = [](GSRuntime::GSContext* context, const Soup& payload) {
    return New(context, payload, false);
  };
  GSRuntime::SetPayloadHooks(hooks);
}

bool GSOSoup::Unlocked(const char* error) const {
  return locked_ == 0 || GSRuntime::RaiseScriptError("%s", error);
}

void GSOSoup::PushChild(GSStack* stack, const Soup& soup) {
  GSRuntime::PushCounted(stack, New(GSRuntime::CallingContext(this), soup, locked_ != 0));
}

bool GSOSoup::ShareUnder(const Qel::PString& name, GSOSoup* child, const char* native) {
  if (soup_.SetNamedSoup(name, child->soup_)) return true;
  return GSRuntime::RaiseScriptError("Soup.%s> sub-soup would contain its parent", native);
}

void GSOSoup::CountTags(GSStack* stack) { stack->PushInt(i32(soup_.CountTags())); }

void GSOSoup::GetNamedTag(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  GSRuntime::PushString(stack, soup_.GetNamedTag(name).View());
}

void GSOSoup::GetNamedSoup(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  PushChild(stack, soup_.GetNamedSoup(name));
}

void GSOSoup::GetNamedSoupAdd(GSStack* stack) {
  if (!Unlocked("Soup.GetNamedSoupAdd> parent soup is locked")) return;
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  Soup child = soup_.GetNamedSoup(name);
  if (child.IsNull()) {
    child.EnsureContainer();
    soup_.SetNamedSoup(name, child);
  }
  PushChild(stack, child);
}

void GSOSoup::GetIndexedTagName(GSStack* stack) {
  GSRuntime::PushString(stack, soup_.GetIndexedTagName(GSRuntime::ParamWord(stack, 1)).View());
}

void GSOSoup::GetIndexForNamedTag(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  i32 found = -1;
  for (u32 index = 0; found < 0 && index < soup_.CountTags(); ++index) {
    if (soup_.GetIndexedTagName(index) == name) found = i32(index);
  }
  stack->PushInt(found);
}

void GSOSoup::GetNamedTagAsKUID(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  const KUID kuid = soup_.GetNamedTagAsKUID(name, KUID::Null());
  GSRuntime::PushCounted(stack,
                         kuid.IsNull() ? 0 : GSOKUID::Wrap(GSRuntime::CallingContext(this), kuid));
}

void GSOSoup::GetNamedTagAsInt(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  stack->PushInt(soup_.GetNamedTagAsInt(name, 0));
}

void GSOSoup::GetNamedTagAsIntOr(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  stack->PushInt(soup_.GetNamedTagAsInt(name, GSRuntime::IntParam(stack, 2)));
}

void GSOSoup::GetNamedTagAsFloat(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  stack->PushFloat(soup_.GetNamedTagAsFloat(name, 0.0f));
}

void GSOSoup::GetNamedTagAsFloatOr(GSStack* stack) {
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  stack->PushFloat(soup_.GetNamedTagAsFloat(name, GSRuntime::FloatParam(stack, 2)));
}

void GSOSoup::SetNamedText(GSStack* stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Qel::PString name;
  Qel::PString text;
  if (!NameParam(stack, 1, &name) || !GSRuntime::GetParam(stack, 2, &text, true)) return;
  soup_.SetNamedTag(name, text);
}

void GSOSoup::SetNamedFloat(GSStack* stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  soup_.SetNamedFloat(name, GSRuntime::FloatParam(stack, 2));
}

void GSOSoup::SetNamedInt(GSStack* stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  soup_.SetNamedInt(name, GSRuntime::IntParam(stack, 2));
}

void GSOSoup::SetNamedKUID(GSStack* stack) {
  if (!Unlocked("Soup.SetNamedKUID> parent soup is locked")) return;
  Qel::PString name;
  GSOKUID* kuid = nullptr;
  if (!NameParam(stack, 1, &name) || !GSRuntime::GetParam(stack, 2, &kuid, true)) return;
  soup_.SetNamedKUID(name, kuid != nullptr ? static_cast<const KUID&>(*kuid) : KUID::Null());
}

void GSOSoup::SetNamedSoup(GSStack* stack) {
  if (!Unlocked("Soup.SetNamedTag> parent soup is locked")) return;
  Qel::PString name;
  GSOSoup* child = nullptr;
  if (!NameParam(stack, 1, &name) ||
      !UnlockedSoupParam(stack, 2, "Soup.SetNamedTag> sub-soup parameter is locked", &child)) {
    return;
  }
  ShareUnder(name, child, "SetNamedSoup");
}

void GSOSoup::RemoveNamedTag(GSStack* stack) {
  if (!Unlocked("Soup.RemoveNamedTag> parent soup is locked")) return;
  Qel::PString name;
  if (!NameParam(stack, 1, &name)) return;
  soup_.RemoveNamedTag(name);
}

void GSOSoup::Copy(GSStack* stack) {
  if (!Unlocked("Soup.Copy> parent soup is locked")) return;
  GSOSoup* source = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &source, false)) return;
  soup_.Copy(source->soup_);
}

void GSOSoup::Clear(GSStack*) {
  if (!Unlocked("Soup.Clear> parent soup is locked")) return;
  soup_.Clear();
}

void GSOSoup::IsLocked(GSStack* stack) { stack->PushInt(locked_ != 0 ? 1 : 0); }

void GSOSoup::GetLockedReference(GSStack* stack) {
  // A container first, so that the reference and this object share one tree.
  soup_.EnsureContainer();
  if (locked_ != 0) {
    GSRuntime::PushObject(stack, this);
    return;
  }
  GSRuntime::PushCounted(stack, New(GSRuntime::CallingContext(this), soup_, true));
}

void GSOSoup::AddUniqueNamedSoup(GSStack* stack) {
  if (!Unlocked("Soup.AddUniqueNamedSoup> parent soup is locked")) return;
  GSOSoup* child = nullptr;
  if (!UnlockedSoupParam(stack, 1, "Soup.AddUniqueNamedSoup> sub-soup parameter is locked",
                         &child)) {
    return;
  }
  ShareUnder(soup_.GetUniqueTagName(), child, "AddUniqueNamedSoup");
}

void GSOSoup::Log(GSStack*) {
  std::string text = SoupTextForm(soup_);
  // One log line: without the byte-order mark and the line ends around the tags.
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  text.erase(0, std::min(text.find_first_not_of("\r\n"), text.size()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  GSMachine::Log("%s", text.c_str());
}

void GSOSoup::AsString(GSStack* stack) { GSRuntime::PushString(stack, SoupTextForm(soup_)); }
