#include "scripthost/gso_string_table.h"

#include "assetdata/interface_text.h"
#include "assetdata/soup_tree.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

// The configuration keys of the default table and of the user's language's table; one key in
// this program, so every lookup goes to the default table.
const char* const kDefaultTableKey = "string-table";
const char* const kLanguageTableKey = "string-table";

// The tag's text when the table has the tag with a value.
bool TableText(const Soup& table, const Qel::PString& name, std::string* text) {
  if (table.GetNamedTagKind(name) == kKindNull) return false;
  *text = std::string(table.GetNamedTag(name).View());
  return true;
}

}  // namespace

GSOStringTable::GSOStringTable(GSHandle asset, const Soup& config)
    : owner_(asset), defaultTable_(config.GetNamedSoup(kDefaultTableKey)) {
  if (Qel::PString(kLanguageTableKey) != Qel::PString(kDefaultTableKey)) {
    languageTable_ = config.GetNamedSoup(kLanguageTableKey);
  }
  GSRuntime::ObjectBridge::AddIfSet(owner_);
}

GSOStringTable::~GSOStringTable() { GSRuntime::ObjectBridge::ReleaseIfSet(owner_); }

GSHandle GSOStringTable::New(GSRuntime::GSContext* owner, GSRuntime::GSObject* asset,
                             const Soup& config) {
  auto* table = new GSOStringTable(asset != nullptr ? asset->GetScriptInstance() : 0, config);
  return ScriptHost::BindNewObject(table, ScriptHost::ScriptClassId::kStringTable, owner);
}

std::string GSOStringTable::Substitute(std::string text,
                                       const Qel::PString (&params)[kParamCount]) {
  size_t at = text.find('$');
  while (at != std::string::npos && at + 1 < text.size()) {
    const char next = text[at + 1];
    if (next == '$') {
      text.erase(at, 1);
      at = text.find('$', at + 1);
    } else if (next >= '0' && next <= '9') {
      const std::string_view param = params[next - '0'].View();
      text.replace(at, 2, param);
      at = text.find('$', at + param.size());
    } else {
      at = text.find('$', at + 1);
    }
  }
  return text;
}

std::string GSOStringTable::GetString(const Qel::PString& name) const {
  const Qel::PString key = name.Lower();
  std::string text;
  if (!TableText(languageTable_, key, &text) && !TableText(defaultTable_, key, &text)) {
    text = std::string(InterfaceTextDB::Instance().GetScenarioString(key).View());
  }
  return Substitute(std::move(text), params_);
}

void GSOStringTable::GetLanguage(GSStack* stack) {
  const Qel::PString language = InterfaceTextDB::Instance().GetString("$main_language", false);
  GSRuntime::PushString(stack, language.IsEmpty() ? std::string_view("english") : language.View());
}

void GSOStringTable::ClearParams(GSStack*) {
  for (Qel::PString& param : params_) param = Qel::PString();
}

void GSOStringTable::SetParam(GSStack* stack) {
  const i32 index = GSRuntime::IntParam(stack, 1);
  Qel::PString text;
  if (!GSRuntime::GetParam(stack, 2, &text, true)) return;
  if (u32(index) >= kParamCount) {
    GSRuntime::RaiseScriptError("StringTable.SetParam> index (%d) out of range (0..9)", index);
    return;
  }
  params_[index] = text;
}

void GSOStringTable::GetString(GSStack* stack) {
  Qel::PString name;
  GSRuntime::GetParam(stack, 1, &name, true);
  GSRuntime::PushString(stack, name.IsEmpty() ? std::string() : GetString(name));
}
