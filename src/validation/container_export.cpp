// A container tree written back into a soup: each tag through the writer of its type code, which
// is also where each tag's checks and rules run, and each child container as a sub-soup.
#include <cstdlib>
#include <string>
#include <vector>

#include "core/kuid.h"
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

const Qel::PString kKeyEmptyCombobox("$tet_container_emptycombobox");
const Qel::PString kKeyEmptyListbox("$tet_container_emptylistbox");
const Qel::PString kKeyEmptyName("$tet_container_emptyname");
const Qel::PString kKeyEmptyStringWarn("$tet_container_emptystringwarn");
const Qel::PString kKeyEmptyStringErr("$tet_container_emptystringerr");
const Qel::PString kKeyNoMeshExt("$tet_container_nomeshext");
const Qel::PString kKeyNoPictureExt("$tet_container_nopictureext");
const Qel::PString kKeyNoAnimationExt("$tet_container_noanimationext");
const Qel::PString kKeyNoAttParent("$tet_container_noattparent");
const Qel::PString kKeyNotValidPossibility("$tet_container_notavalidpossibility");
const Qel::PString kKeyNotValidPossibility2("$tet_container_notavalidpossibility2");

// Empty string tags of sounds were allowed before this build.
constexpr i32 kEmptySoundStringBuild = 310;

// The tag's finding: the key's text with the tag's and its container's names.
void Report(bool error, const Qel::PString& key, const Tag* tag) {
  const Qel::PString text =
      LocalisedFinding(key, tag->name, tag->owner != nullptr ? tag->owner->GetName() : kTagEmpty);
  if (error) {
    AddErrorFinding(text, tag);
  } else {
    AddWarningFinding(text, tag);
  }
}

Qel::PString LowerAscii(const Qel::PString& text) {
  std::string lower(text.View());
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
  }
  return Qel::PString(lower);
}

bool HasExtension(std::string_view path, std::string_view extension) {
  if (path.size() <= extension.size() || path[path.size() - extension.size() - 1] != '.')
    return false;
  return Qel::PString(path.substr(path.size() - extension.size()))
      .EqualsIgnoreCase(Qel::PString(extension));
}

bool HasAnyExtension(std::string_view path, std::initializer_list<std::string_view> extensions) {
  for (std::string_view extension : extensions) {
    if (HasExtension(path, extension)) return true;
  }
  return false;
}

FloatArray NumberArray(const Qel::PString& text) {
  FloatArray array;
  for (f32 value : ParseFloatList(text.View())) array.Add(value);
  return array;
}

KUID ParsedKuid(const Qel::PString& text) { return KUID::Parse(text.CStr(), false); }

bool WriteString(Tag* tag, Soup& out) {
  out.SetNamedTag(tag->name, tag->value);
  return true;
}

bool CheckStringValue(Tag* tag, Soup& out) {
  out.SetNamedTag(tag->name, tag->value);
  if (tag->value.IsSet()) return tag->RunTagRules();
  if (WholeBuild(DataManager::Instance().GetBuildNumber()) < kEmptySoundStringBuild &&
      tag->owner != nullptr && tag->owner->GetName() == kTagSound) {
    return true;
  }
  Report(true, kKeyEmptyStringErr, tag);
  return false;
}

// The joined names of the container and its ancestors below the top level, outermost first.
std::string ContainerPath(const Container* container) {
  std::string path;
  for (; container != nullptr && !container->IsTopLevel(); container = container->GetParent()) {
    path = std::string(container->GetName().View()) + (path.empty() ? "" : "\\") + path;
  }
  return path;
}

bool HasTag(const Container* container, const Qel::PString& name) {
  for (const Tag* tag : container->GetTags()) {
    if (tag->name == name) return true;
  }
  return false;
}

// A point name that the mesh the value should come from does not have.
void ReportInvalidPoint(const Tag* tag, const Container* owner, const MeshData& mesh) {
  const std::string_view path = mesh.GetMeshPath().View();
  AddErrorFinding(LocalisedFinding(kKeyNotValidPossibility, tag->value, owner->GetName(),
                                   path.substr(0, path.find_first_of("/\\"))),
                  tag);
}

// Combo boxes (listBox false) and list boxes.
bool CheckChoice(Tag* tag, Soup& out, bool listBox) {
  bool passed = true;
  if (tag->value.IsEmpty()) {
    Report(true, listBox ? kKeyEmptyListbox : kKeyEmptyCombobox, tag);
    if (listBox) passed = false;
  }
  DataManager& manager = DataManager::Instance();
  const Container* owner = tag->owner;
  if (tag->hasSource && owner != nullptr && !manager.IsRegisteredName(tag->value, tag->source)) {
    if (tag->source == kTagAttachment && owner->GetDefinitionName() == kTagMeshElement) {
      // The point must be one of the mesh of the entry that "att-parent" names.
      if (!HasTag(owner, kTagAttParent)) {
        AddErrorFinding(LocalisedFinding(kKeyNoAttParent, owner->GetName()), tag);
        passed = false;
      }
      const Container* parent = owner->GetParent();
      for (const Tag* attParent : owner->GetTags()) {
        if (attParent->name != kTagAttParent || parent == nullptr) continue;
        for (const Container* entry : parent->GetChildren()) {
          if (entry->GetName() != attParent->value) continue;
          if (const MeshData* mesh = manager.GetMeshOf(entry)) {
            ReportInvalidPoint(tag, owner, *mesh);
            passed = false;
          }
        }
      }
    } else if (tag->source == kTagAttachment && !listBox &&
               (owner->GetDefinitionName() == kTagEffectCorona ||
                owner->GetDefinitionName() == kTagEffectAttachment)) {
      // The point must be one of the mesh of the entry that holds the effect.
      const Container* parent = owner->GetParent();
      const Container* entry = parent != nullptr ? parent->GetParent() : nullptr;
      if (const MeshData* mesh = entry != nullptr ? manager.GetMeshOf(entry) : nullptr) {
        ReportInvalidPoint(tag, owner, *mesh);
        passed = false;
      }
    } else if (!manager.IsMeshProblemReported() && !manager.UsesMeshAsset()) {
      AddErrorFinding(
          LocalisedFinding(kKeyNotValidPossibility2, tag->name, tag->value, ContainerPath(owner)),
          tag);
      passed = false;
    }
  }
  if (!tag->RunTagRules()) passed = false;
  out.SetNamedTag(tag->name, tag->value);
  return passed;
}

bool WriteFilePath(Tag* tag, Soup& out, bool editable) {
  bool passed = true;
  if (tag->value.IsEmpty()) {
    Report(true, kKeyEmptyStringWarn, tag);
    passed = false;
  }
  std::string path(tag->value.View());
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (tag->dataType == kTagMeshes) {
    if (!HasAnyExtension(path, {"im", "lm", editable ? "txt" : "lm.txt", "pm", "srt"}))
      Report(true, kKeyNoMeshExt, tag);
  } else if (tag->dataType == kTagImage) {
    if (!HasAnyExtension(path, {"bmp", "tga", "jpg", "texture", "txt"}))
      Report(true, kKeyNoPictureExt, tag);
  } else if (tag->dataType == kTagAnimation) {
    if (!HasExtension(path, "kin")) Report(true, kKeyNoAnimationExt, tag);
  }
  if (!tag->RunTagRules()) passed = false;
  if (HasExtension(path, "txt")) path.resize(path.size() - 4);
  out.SetNamedTag(tag->name, Qel::PString(path));
  return passed;
}

// A tag whose name is a value of its own ("doublestring" and the string-and-KUID types).
bool CheckName(Tag* tag) {
  if (tag->name.IsSet()) return true;
  Report(true, kKeyEmptyName, tag);
  return false;
}

bool WriteTag(Tag* tag, Soup& out) {
  switch (tag->typeCode) {
    case kTagTypeFloat:
      out.SetNamedFloat(tag->name, f32(std::atof(tag->value.CStr())));
      return tag->RunTagRules();
    case kTagTypeString:
      return CheckStringValue(tag, out);
    case kTagTypeInt:
      out.SetNamedInt(tag->name, i32(std::strtol(tag->value.CStr(), nullptr, 10)));
      return tag->RunTagRules();
    case kTagTypeBool:
      out.SetNamedInt(tag->name, tag->value == kTagOne ? 1 : 0);
      return tag->RunTagRules();
    case kTagTypeVector2:
    case kTagTypeVector3:
    case kTagTypeVector4:
    case kTagTypeVector5: {
      out.SetNamedFloatArray(tag->name, NumberArray(tag->value));
      const bool counted = CheckArraySize(tag, tag->typeCode - kTagTypeVector2 + 2);
      return tag->RunTagRules() && counted;
    }
    case kTagTypeFloatList:
      out.SetNamedFloatArray(tag->name, NumberArray(tag->value));
      return tag->RunTagRules();
    case kTagTypeComboBox:
      return CheckChoice(tag, out, false);
    case kTagTypeIntComboBox: {
      out.SetNamedInt(tag->name, i32(std::strtol(tag->value.CStr(), nullptr, 10)));
      bool passed = tag->RunTagRules();
      if (tag->value.IsEmpty()) {
        Report(true, kKeyEmptyCombobox, tag);
        passed = false;
      }
      return passed;
    }
    case kTagTypeListBox:
      return CheckChoice(tag, out, true);
    case kTagTypeDoubleString: {
      out.SetNamedTag(LowerAscii(tag->name), tag->value);
      bool passed = CheckName(tag);
      if (tag->value.IsEmpty()) Report(false, kKeyEmptyStringWarn, tag);
      return tag->RunTagRules() && passed;
    }
    case kTagTypeKUID:
      out.SetNamedKUID(tag->name, ParsedKuid(tag->value));
      return tag->RunTagRules();
    case kTagTypeFilePath:
      return WriteFilePath(tag, out, false);
    case kTagTypeFilePathEdit:
      return WriteFilePath(tag, out, true);
    case kTagTypeStringKUID: {
      out.SetNamedKUID(LowerAscii(tag->name), ParsedKuid(tag->value));
      const bool named = CheckName(tag);
      return tag->RunTagRules() && named;
    }
    case kTagTypeKUIDBrowser:
    case kTagTypeStringKUIDBrowser: {
      out.SetNamedKUID(tag->name, ParsedKuid(tag->value));
      const bool named = tag->typeCode == kTagTypeKUIDBrowser || CheckName(tag);
      WarnNullKuid(tag);
      return tag->RunTagRules() && named;
    }
    case kTagTypeUndefined:
      return WriteString(tag, out);
    default:
      return true;
  }
}

// The kind that the top-level load replaced for its definition, mapped back; other kinds as
// they are.
Qel::PString ConfigurationKind(const Qel::PString& kind) {
  const Qel::PString lower = LowerAscii(kind);
  if (lower == kTagDoubleTrack || lower == kTagTunnel) return kTagBridge;
  if (lower == kTagChunkyTrack || lower == kTagMeshReducingTrack || lower == kTagObsoleteTrack)
    return kTagTrack;
  if (lower == kTagSceneryTrackside) return kTagScenery;
  return kind;
}

}  // namespace

bool Container::Export(Soup& out) {
  out.EnsureContainer();
  bool passed = true;
  for (Tag* tag : tags_) {
    if (tag->name == kTagKind) tag->value = ConfigurationKind(tag->value);
    // Once a tag has failed, later floats and strings are neither tested nor written.
    const bool plain = tag->typeCode == kTagTypeFloat || tag->typeCode == kTagTypeString;
    if (plain && !passed) continue;
    if (!WriteTag(tag, out)) passed = false;
  }
  for (Container* child : children_) {
    const Qel::PString& name = child->savingName_.IsSet() ? child->savingName_ : child->name_;
    out.RemoveNamedTag(name);
    Soup sub;
    sub.EnsureContainer();
    out.SetNamedSoup(name, sub);
    if (!child->Export(sub)) passed = false;
    if (!child->RunContainerRules()) passed = false;
  }
  return passed;
}

}  // namespace TETLib
