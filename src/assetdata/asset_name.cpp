#include "assetdata/asset_name.h"

#include <string>

#include "assetdata/interface_text.h"
#include "assetdata/vocabulary.h"

namespace {

const Qel::PString kTagMeshTable("mesh-table");
const Qel::PString kTagClass("class");
const Qel::PString kTagScriptClass("scriptclass");
const Qel::PString kKeyUntitled("$cm_general_untitled");

bool IsCodePageQuote(u8 c) { return c >= 0x91 && c <= 0x94; }

bool Matches3(const char* at, u8 a, u8 b, u8 c) {
  return u8(at[0]) == a && u8(at[1]) == b && u8(at[2]) == c;
}

}  // namespace

u32 GetQuoteLength(const char* at, i32 extent) {
  if (!at || extent == 0) return 0;
  const u8 c = u8(*at);
  if (c == '\'' || c == '"') return 1;
  if (extent > 0) {
    if (IsCodePageQuote(c)) return (extent > 1 && u8(at[1]) < 0x80) ? 1 : 0;
    if (extent >= 3 && (Matches3(at, 0xE2, 0x80, 0x98) || Matches3(at, 0xE2, 0x80, 0x9C))) {
      return 3;
    }
    return 0;
  }
  if (IsCodePageQuote(c)) return (extent < -1 && u8(at[-1]) < 0x80) ? 1 : 0;
  if (extent <= -3 && (Matches3(at - 2, 0xE2, 0x80, 0x99) || Matches3(at - 2, 0xE2, 0x80, 0x9D))) {
    return 3;
  }
  return 0;
}

Qel::String UnderscoresToSpaces(const Qel::String& text) {
  if (text.FindChar('_') == Qel::String::npos) return text;
  Qel::String out = text;
  for (char& c : out.Std()) {
    if (c == '_') c = ' ';
  }
  return out;
}

Qel::String CleanDisplayName(Qel::String name) {
  name.TrimLeft(" \t\r\n");
  name.TrimRight(" \t\r\n");
  if (!name.IsEmpty()) {
    name.Erase(0, GetQuoteLength(name.CStr(), i32(name.Length())));
  }
  if (!name.IsEmpty()) {
    const u32 n = GetQuoteLength(name.CStr() + name.Length() - 1, -i32(name.Length()));
    name.Truncate(name.Length() - n);
  }
  if (name.IsEmpty()) return GetInterfaceString(kKeyUntitled);
  return name;
}

Qel::String GetAssetDisplayName(Soup config) {
  Qel::PString name = config.GetNamedTag(Vocabulary::kTagUsername);
  if (name.IsEmpty()) name = config.GetNamedTag(Vocabulary::kTagName);
  if (name.IsEmpty()) name = config.GetNamedTag(Vocabulary::kTagAssetFilename);
  Qel::String text(name);
  const f32 build = config.GetNamedTagAsFloat(Vocabulary::kTagKestroBuild, 0.0f);
  // Compared before truncation, which gives the same answer for every value and no undefined
  // conversion for huge or NaN builds (NaN keeps the underscores).
  if ((double(build) + 0.005) * 100.0 < 290.0) text = UnderscoresToSpaces(text);
  return CleanDisplayName(text);
}

std::string RefuseAssetNames(const Soup& config) {
  for (const Qel::PString& tag :
       {Vocabulary::kTagUsername, Vocabulary::kTagName, Vocabulary::kTagAssetFilename}) {
    const size_t bytes = config.GetNamedTag(tag).View().size();
    if (bytes > kMaxAssetNameBytes) {
      return "the " + std::string(tag.View()) + " is " + std::to_string(bytes) +
             " bytes long, more than the " + std::to_string(kMaxAssetNameBytes) +
             " a name may have";
    }
  }
  return {};
}

f32 GetAssetBuildVersion(Soup config) {
  const f32 build = config.GetNamedTagAsFloat(Vocabulary::kTagKestroBuild, 0.0f);
  if (build >= 1.0f && build < 100.0f) return build + 0.005f;
  if (config.HasNamedTag(kTagMeshTable) || config.HasNamedTag(kTagClass) ||
      config.HasNamedTag(kTagScriptClass)) {
    return 2.0f;
  }
  return 1.3f;
}
