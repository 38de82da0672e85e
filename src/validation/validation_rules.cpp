#include "validation/validation_rules.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/file_util.h"
#include "core/kuid.h"
#include "platform/ascii_text.h"
#include "qel/file.h"
#include "qel/file_path.h"
#include "validation/asset_file.h"
#include "validation/container.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/finding_text.h"
#include "validation/mesh_data.h"
#include "validation/tag.h"
#include "validation/tag_vocabulary.h"
#include "validation/texture_check.h"

namespace TETLib {

namespace {

const Qel::PString kRuleUniqueNames("uniquenames");
const Qel::PString kRuleHasValidTextureFile("hasvalidtexturefile");
const Qel::PString kRuleMeshTableHasShadow("meshtablehasshadow");
const Qel::PString kRuleMeshTableHasVisibleMesh("meshtablehasvisiblemesh");
const Qel::PString kRuleIsTracksideType("istracksidetype");
const Qel::PString kRuleIsNotTraincar("isnottraincar");
const Qel::PString kRuleNeedCollateMeshes("needcollatemeshes");
const Qel::PString kRuleIsPositive("ispositive");
const Qel::PString kRuleIsNotZero("isnotzero");
const Qel::PString kRuleScriptFileExists("scriptfileexists");
const Qel::PString kRuleFileExists("fileexists");
const Qel::PString kRuleRange("range");
const Qel::PString kRuleArraySize("arraysize");
const Qel::PString kRuleNotOwnParent("notownparent");
const Qel::PString kRuleMustBeOwnParent("mustbeownparent");
const Qel::PString kRuleMustBeInLightContainer("mustbeinlightcontainer");
const Qel::PString kRuleMustBePaired("mustbepaired");

const Qel::PString kKeyEmptyField("$tet_val_emptyfield");
const Qel::PString kKeyNotZero("$tet_val_notzero");
const Qel::PString kKeyNotPositive("$tet_val_notpositive");
const Qel::PString kKeyNotWithinRange("$tet_val_notwithinrange");
const Qel::PString kKeyArrayWrongSize("$tet_val_arraywrongsize");
const Qel::PString kKeyNotOwnParent("$tet_val_notownparent");
const Qel::PString kKeyMustBePaired("$tet_val_mustbepaired");
const Qel::PString kKeyNoCollateMeshes("$tet_val_nocollatemeshes");
const Qel::PString kKeyNotType("$tet_val_not_type");
const Qel::PString kKeyNoType("$tet_val_notype");
const Qel::PString kKeyWrongType("$tet_val_wrongtype");
const Qel::PString kKeyFileDne("$tet_val_file_dne");
const Qel::PString kKeyScriptFileDne("$tet_val_scriptfiledne");
const Qel::PString kKeyDuplicateContainer("$tet_val_duplicatecontainername");
const Qel::PString kKeyDuplicateTag("$tet_val_duplicatetagname");
const Qel::PString kKeyNoVisibleMesh("$tet_val_no_visible_mesh");
const Qel::PString kKeyShadowMissing("$tet_val_shadow_missing");
const Qel::PString kKeyTextureNotSpecified("$tet_val_texturefilenotspecified");
const Qel::PString kKeyTextureWrongFormat("$tet_val_texturefilewrongformat");
const Qel::PString kKeyTextureDne("$tet_val_texturefiledne");
const Qel::PString kKeyNullKuid("$tet_val_nullkuidwarn");
const Qel::PString kKeyMustHaveLightContainer("$tet_val_musthavealightcontainer");
const Qel::PString kKeyMustBeInLightContainer("$tet_val_mustbeinlightcontainer");
const Qel::PString kKeyNoGrandparent("$tet_val_nograndparent");
const Qel::PString kKeyMustBeOwnParent("$tet_val_mustbeownparent");

const Qel::PString kParameterFirst("0");
const Qel::PString kParameterSecond("1");

constexpr f32 kFileErrorBuild = 3.4f;
constexpr f32 kTextureFormatErrorBuild = 3.49f;
constexpr f32 kArraySizeBuild = 2.89f;

Tag* FindTag(const Container* container, const Qel::PString& name) {
  for (Tag* tag : container->GetTags()) {
    if (tag->name == name) return tag;
  }
  return nullptr;
}

Container* FindChild(const Container* container, const Qel::PString& name) {
  for (Container* child : container->GetChildren()) {
    if (child->GetName() == name) return child;
  }
  return nullptr;
}

const Container* RootOf(const Container* container) {
  while (container->GetParent() != nullptr) container = container->GetParent();
  return container;
}

// The container that holds the tag's container. A tag placed too high for the rule has none,
// which is a finding of its own rather than a walk off the tree.
Container* GrandparentOf(Tag* tag) {
  Container* parent = tag->owner != nullptr ? tag->owner->GetParent() : nullptr;
  if (parent == nullptr) AddErrorFinding(LocalisedFinding(kKeyNoGrandparent, tag->name), tag);
  return parent;
}

// Shared by isnotzero and ispositive: fails on the first number that bad() finds.
template <class Bad>
bool CheckEveryNumber(Tag* tag, const Qel::PString& key, Bad bad) {
  if (tag->value.IsEmpty()) return false;
  const std::vector<f32> numbers = ParseFloatList(tag->value.View());
  if (numbers.empty()) {
    AddErrorFinding(LocalisedFinding(kKeyEmptyField, tag->name), tag);
    return false;
  }
  for (f32 number : numbers) {
    if (bad(number)) {
      AddErrorFinding(LocalisedFinding(key, tag->name), tag);
      return false;
    }
  }
  return true;
}

bool IsNotZero(Tag* tag, Soup* /*parameters*/) {
  return CheckEveryNumber(tag, kKeyNotZero, [](f32 n) { return n == 0.0f; });
}

bool IsPositive(Tag* tag, Soup* /*parameters*/) {
  return CheckEveryNumber(tag, kKeyNotPositive, [](f32 n) { return n < 0.0f; });
}

bool Range(Tag* tag, Soup* parameters) {
  if (tag->value.IsEmpty()) return false;
  const std::vector<f32> numbers = ParseFloatList(tag->value.View());
  if (numbers.empty()) {
    AddErrorFinding(LocalisedFinding(kKeyEmptyField, tag->name), tag);
    return false;
  }
  const double min = std::atof(parameters->GetNamedTag(kTagMin).CStr());
  const double max = std::atof(parameters->GetNamedTag(kTagMax).CStr());
  for (f32 number : numbers) {
    if (number < min || number > max) {
      AddErrorFinding(LocalisedFinding(kKeyNotWithinRange, tag->name, min, max), tag);
      return false;
    }
  }
  return true;
}

bool ArraySize(Tag* tag, Soup* parameters) {
  if (!parameters->HasNamedTag(kTagSize)) return false;
  return CheckArraySize(tag,
                        i32(std::strtol(parameters->GetNamedTag(kTagSize).CStr(), nullptr, 10)));
}

bool NotOwnParent(Tag* tag, Soup* /*parameters*/) {
  if (tag->owner == nullptr || tag->name != tag->owner->GetName()) return true;
  AddErrorFinding(LocalisedFinding(kKeyNotOwnParent), tag);
  return false;
}

bool MustBePaired(Tag* tag, Soup* parameters) {
  if (tag->name == kTagInitialCount && tag->value == kTagZero) return true;
  const Qel::PString a = parameters->GetNamedTag(kParameterFirst);
  const Qel::PString b = parameters->GetNamedTag(kParameterSecond);
  bool foundA = false;
  bool foundB = false;
  for (const Tag* other : tag->owner->GetTags()) {
    if (other->name == a) {
      foundA = true;
    } else if (other->name == b) {
      foundB = true;
    }
  }
  if (!foundA) AddErrorFinding(LocalisedFinding(kKeyMustBePaired, b, a), tag);
  if (!foundB) AddErrorFinding(LocalisedFinding(kKeyMustBePaired, a, b), tag);
  return foundA && foundB;
}

bool NeedCollateMeshes(Tag* tag, Soup* /*parameters*/) {
  if (FindTag(tag->owner, kTagCollateMeshes) != nullptr) return true;
  AddErrorFinding(LocalisedFinding(kKeyNoCollateMeshes, tag->name, kTagCollateMeshes), tag);
  return false;
}

bool IsNotTraincar(Tag* tag, Soup* /*parameters*/) {
  if (tag->owner->GetSoup().GetNamedTag(kTagKind) != kTagTraincar) return true;
  AddErrorFinding(LocalisedFinding(kKeyNotType, tag->name, kTagTraincar));
  return false;
}

bool IsTracksideType(Tag* tag, Soup* /*parameters*/) {
  const Tag* type = FindTag(tag->owner, kTagType);
  if (type == nullptr) {
    AddErrorFinding(LocalisedFinding(kKeyNoType, tag->name, kTagType, kTagTrackside), tag);
    return false;
  }
  if (type->value == kTagTrackside) return true;
  AddErrorFinding(LocalisedFinding(kKeyWrongType, kTagType, kTagTrackside, tag->name), type);
  return false;
}

bool FileExists(Tag* tag, Soup* /*parameters*/) {
  if (tag->value.IsEmpty()) return false;
  const bool mapSound = tag->owner->GetName() == kTagSound &&
                        RootOf(tag->owner)->GetSoup().GetNamedTag(kTagType) == kTagMap;
  if (!FindAssetFile(tag->value.View(), mapSound ? "sound" : "").IsEmpty()) return true;
  const Qel::PString text = LocalisedFinding(kKeyFileDne, tag->value);
  if (BuildReached(kFileErrorBuild)) {
    AddErrorFinding(text, tag);
  } else {
    AddWarningFinding(text, tag);
  }
  return false;
}

// The content folder is held as a packed archive: its files cannot be looked at one by one.
bool IsContentFolderPacked() {
  const Qel::PString& name = DataManager::Instance().GetAssetName();
  if (name.IsEmpty()) return false;
  const Qel::String folder = GetUserDataFolder(name);
  return !folder.IsEmpty() && Qel::File::Exists((folder + ".qa").CStr());
}

bool ScriptFileExists(Tag* tag, Soup* /*parameters*/) {
  if (tag->value.IsEmpty()) return false;
  // A leading "/" names a library of the installation, which the script compile finds.
  if (tag->value.View().front() == '/') return true;
  if (IsContentFolderPacked()) return true;
  // "x" and "x.gs" both name the sources x.gse and x.gs: the compile forces the extension too.
  Qel::File::Path packed(Qel::String(tag->value.View()));
  Qel::File::Path plain = packed;
  if (!FindAssetFile(packed.ChangeExtension("gse").GetText().View()).IsEmpty() ||
      !FindAssetFile(plain.ChangeExtension("gs").GetText().View()).IsEmpty())
    return true;
  AddErrorFinding(LocalisedFinding(kKeyScriptFileDne, tag->value), tag);
  return false;
}

bool MustBeOwnParent(Tag* tag, Soup* /*parameters*/) {
  // The tag stands in an entry of a list held by a mesh-table entry ("effects"): the points are
  // those of that entry's mesh.
  const Container* list = GrandparentOf(tag);
  if (list == nullptr) return false;
  const Container* entry = list->GetParent();
  if (entry == nullptr) {
    AddErrorFinding(LocalisedFinding(kKeyNoGrandparent, tag->name), tag);
    return false;
  }
  // A mesh that did not load has its own finding; there is nothing to compare against.
  const MeshData* mesh = DataManager::Instance().GetMeshOf(entry);
  if (mesh == nullptr) return false;
  for (const MeshAttachment& point : mesh->GetAttachments()) {
    if (point.name == tag->value) return true;
  }
  AddErrorFinding(LocalisedFinding(kKeyMustBeOwnParent, tag->value, mesh->GetMeshPath()), tag);
  return false;
}

bool MustBeInLightContainer(Tag* tag, Soup* /*parameters*/) {
  std::vector<i32> numbers;
  const std::string_view value = tag->value.View();
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find_first_of(" ,", start);
    if (end == std::string_view::npos) end = value.size();
    numbers.push_back(i32(std::atoi(std::string(value.substr(start, end - start)).c_str())));
    start = end + 1;
  }
  const Container* grandparent = GrandparentOf(tag);
  if (grandparent == nullptr) return false;
  const Container* lights = FindChild(grandparent, kTagLights);
  if (lights == nullptr) {
    AddErrorFinding(LocalisedFinding(kKeyMustHaveLightContainer), tag);
    return false;
  }
  bool passed = true;
  for (i32 k : numbers) {
    char name[16];
    std::snprintf(name, sizeof name, "%d", k);
    if (FindChild(lights, Qel::PString(name)) == nullptr) {
      AddErrorFinding(LocalisedFinding(kKeyMustBeInLightContainer, k), tag);
      passed = false;
    }
  }
  return passed;
}

bool UniqueNames(Container* container, Soup* /*parameters*/) {
  bool passed = true;
  // Every name met so far: each later one of a name is a duplicate, in one pass however many.
  std::unordered_set<Qel::PString> seen;
  for (Container* child : container->GetChildren()) {
    if (seen.insert(child->GetName()).second) continue;
    AddErrorFinding(
        LocalisedFinding(kKeyDuplicateContainer, child->GetName(), container->GetName()), child);
    passed = false;
  }
  seen.clear();
  for (Tag* tag : container->GetTags()) {
    if (seen.insert(tag->name).second) continue;
    AddErrorFinding(LocalisedFinding(kKeyDuplicateTag, tag->name, container->GetName()), tag);
    passed = false;
  }
  return passed;
}

bool MeshTableHasVisibleMesh(Container* container, Soup* /*parameters*/) {
  if (!container->IsTopLevel()) return true;
  const Container* table = FindChild(container, kTagMeshTable);
  if (table == nullptr) return true;
  for (const Container* entry : table->GetChildren()) {
    const Tag* autoCreate = FindTag(entry, kTagAutoCreate);
    if (autoCreate != nullptr && autoCreate->value != kTagZero) return true;
  }
  AddWarningFinding(LocalisedFinding(kKeyNoVisibleMesh), container);
  return false;
}

bool MeshTableHasShadow(Container* container, Soup* /*parameters*/) {
  if (!container->IsTopLevel()) return true;
  const Container* table = FindChild(container, kTagMeshTable);
  if (table == nullptr || FindChild(table, kTagShadow) != nullptr) return true;
  AddWarningFinding(LocalisedFinding(kKeyShadowMissing), container);
  return false;
}

bool HasValidTextureFile(Container* container, Soup* /*parameters*/) {
  if (IsContentFolderPacked()) return true;
  const Tag* texture = nullptr;
  for (const Tag* tag : container->GetTags()) {
    if (tag->name == kTagTexture || tag->name == kTagAssetFilename) {
      texture = tag;
      break;
    }
  }
  if (texture == nullptr) {
    AddErrorFinding(LocalisedFinding(kKeyTextureNotSpecified));
    return false;
  }
  const std::string_view value = texture->value.View();
  if (EndsWithIgnoreCase(value, ".tga") || EndsWithIgnoreCase(value, ".bmp") ||
      EndsWithIgnoreCase(value, ".jpg")) {
    const Qel::PString text = LocalisedFinding(kKeyTextureWrongFormat, texture->value);
    if (!BuildReached(kTextureFormatErrorBuild) && !FindAssetFile(value).IsEmpty()) {
      AddWarningFinding(text, texture);
      return true;
    }
    AddErrorFinding(text, texture);
    return false;
  }
  std::string stem(value);
  const size_t dot = stem.find_last_of("./\\");
  if (dot != std::string::npos && stem[dot] == '.') stem.erase(dot);
  if (!FindAssetFile(stem + ".texture").IsEmpty() ||
      !FindAssetFile(stem + ".texture.txt").IsEmpty())
    return true;
  AddErrorFinding(LocalisedFinding(kKeyTextureDne, texture->value), texture);
  return false;
}

const TagRule kTagRules[] = {
    {&kRuleIsTracksideType, &IsTracksideType},
    {&kRuleIsNotTraincar, &IsNotTraincar},
    {&kRuleNeedCollateMeshes, &NeedCollateMeshes},
    {&kRuleIsPositive, &IsPositive},
    {&kRuleIsNotZero, &IsNotZero},
    {&kRuleScriptFileExists, &ScriptFileExists},
    {&kRuleFileExists, &FileExists},
    {&kRuleRange, &Range},
    {&kRuleArraySize, &ArraySize},
    {&kRuleNotOwnParent, &NotOwnParent},
    {&kRuleMustBeOwnParent, &MustBeOwnParent},
    {&kRuleMustBeInLightContainer, &MustBeInLightContainer},
    {&kRuleMustBePaired, &MustBePaired},
};

const ContainerRule kContainerRules[] = {
    {&kRuleUniqueNames, &UniqueNames},
    {&kRuleHasValidTextureFile, &HasValidTextureFile},
    {&kRuleMeshTableHasShadow, &MeshTableHasShadow},
    {&kRuleMeshTableHasVisibleMesh, &MeshTableHasVisibleMesh},
};

}  // namespace

std::span<const TagRule> TagRuleTable() { return kTagRules; }
std::span<const ContainerRule> ContainerRuleTable() { return kContainerRules; }

TagRuleFunction FindTagRule(const Qel::PString& name) {
  for (const TagRule& rule : TagRuleTable()) {
    if (*rule.name == name) return rule.function;
  }
  return nullptr;
}

ContainerRuleFunction FindContainerRule(const Qel::PString& name) {
  for (const ContainerRule& rule : ContainerRuleTable()) {
    if (*rule.name == name) return rule.function;
  }
  return nullptr;
}

bool CheckArraySize(Tag* tag, i32 size) {
  if (tag->value.IsEmpty()) return false;
  if (!BuildReached(kArraySizeBuild)) return true;
  const std::vector<f32> numbers = ParseFloatList(tag->value.View());
  if (numbers.size() == size_t(size)) return true;
  AddErrorFinding(LocalisedFinding(kKeyArrayWrongSize, tag->name, size, i32(numbers.size())), tag);
  return false;
}

bool WarnNullKuid(Tag* tag) {
  if (tag->owner != nullptr && tag->owner->GetName() == kTagObsoleteTable) return true;
  if (KUID::Parse(tag->value.CStr(), false).IsNull())
    AddWarningFinding(LocalisedFinding(kKeyNullKuid, tag->name), tag);
  return true;
}

}  // namespace TETLib
