// Matching a configuration against the definitions: the containers' operations that read the
// definitions, recurse into the configuration and report what the definitions do not allow.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include "assetdata/interface_text.h"
#include "validation/container.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/finding_text.h"
#include "validation/tag_vocabulary.h"
#include "validation/texture_check.h"

namespace TETLib {

namespace {

const Qel::PString kKeyObsoleteTag("$tet_container_obsoletetag");
const Qel::PString kKeyNoDefinition("$tet_container_nodefinition");
const Qel::PString kKeyOldContainer("$tet_container_oldcontainer");
const Qel::PString kKeyErrorInTemplate("$tet_container_errorintemplate");
const Qel::PString kKeyNoContainerDefinition("$tet_container_nocontainerdefinition");
const Qel::PString kKeyMissingTag("$tet_container_missingtag");
const Qel::PString kKeyMissingContainer("$tet_container_missingcontainer");
const Qel::PString kKeyNoSmoke("$tet_container_nosmoke");
const Qel::PString kKeyInheritCycle("$tet_container_inheritcycle");
const Qel::PString kKeyInheritTooDeep("$tet_container_inherittoodeep");

const Qel::PString kDescriptionPrefix("description-");
const Qel::PString kUsernamePrefix("username-");
const Qel::PString kStringTablePrefix("string-table-");
const Qel::PString kSequence("sequence");
const Qel::PString kFile("file");
// A smoke emitter that names a "file" takes these from it.
const Qel::PString kEmitterTags[] = {"lifetime", "maxsize", "minsize", "rate", "velocity"};
constexpr std::string_view kContainerTypePrefix = "container-type";
constexpr const char* kTraceLoad = "we're now up to %s";

// A configuration nested deeper than a soup may be is not followed further.
constexpr u32 kMaxLoadDepth = kMaxSoupDepth;

bool StartsWith(const Qel::PString& text, const Qel::PString& prefix) {
  return text.View().starts_with(prefix.View());
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

template <class Visit>
void ForEachEntry(const Soup& soup, Visit&& visit) {
  if (!soup.IsNull()) ForEachChild(soup.GetRoot().Get(), visit);
}

bool IsContainer(const MPRef<ACSChunk>& node) { return node && node->GetKind() == kKindContainer; }

// The texts of "container-type0", "container-type1", ... by their number, the first of a repeated
// name, in one walk over the entries (a definition may list thousands).
std::unordered_map<u32, Qel::PString> ContainerTypes(const Soup& definition) {
  std::unordered_map<u32, Qel::PString> types;
  const u32 count = definition.CountTags();
  ForEachEntry(definition, [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    const std::string_view view = name.View();
    if (!view.starts_with(kContainerTypePrefix)) return;
    const std::string_view digits = view.substr(kContainerTypePrefix.size());
    if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) return;
    if (!std::all_of(digits.begin(), digits.end(), IsDigit)) return;
    const u32 index = u32(std::strtoul(std::string(digits).c_str(), nullptr, 10));
    if (index >= count) return;  // never reached: the numbers are tried from 0 without a gap
    types.emplace(index, NodeText(node.Get()));
  });
  return types;
}

void AddChildEntry(Soup& target, const Qel::PString& name, const MPRef<ACSChunk>& node) {
  target.RemoveNamedTag(name);
  target.GetRoot()->AddChild(name, node);
}

}  // namespace

bool InheritWalk::Enter(const Qel::PString& p) {
  const auto onPath = std::find(path_.begin(), path_.end(), p);
  if (onPath != path_.end()) {
    std::string cycle;
    for (auto it = onPath; it != path_.end(); ++it) cycle.append(it->View()).append(" > ");
    cycle.append(p.View());
    AddErrorFinding(LocalisedFinding(kKeyInheritCycle, p, cycle));
    return false;
  }
  if (path_.size() >= kMaxDepth) {
    AddErrorFinding(LocalisedFinding(kKeyInheritTooDeep, path_.front(), i32(kMaxDepth)));
    return false;
  }
  if (!merged_.insert(p).second) return false;
  path_.push_back(p);
  return true;
}

Soup GetKindDefinition(const Qel::PString& kindName) {
  const Qel::PString name = kindName.Lower();
  DataManager& manager = DataManager::Instance();
  Soup definition = manager.GetDefinitions().GetNamedSoup(name);
  if (definition.GetNamedTagAsInt(kTagTopLevel, 0) != 0) return definition;
  manager.LoadDefinitions();
  definition = manager.GetDefinitions().GetNamedSoup(name);
  if (definition.GetNamedTagAsInt(kTagTopLevel, 0) != 0) return definition;
  return {};
}

namespace {

void MergeValidation(Soup& target, const Soup& definition, RunDefinitions& definitions,
                     InheritWalk& walk) {
  ForEachEntry(definition.GetNamedSoup(kTagInherit),
               [&](const Qel::PString& p, const MPRef<ACSChunk>& /*node*/) {
                 if (!walk.Enter(p)) return;
                 const Soup parent = definitions.Get(p);
                 if (parent.HasNamedTag(kTagInherit))
                   MergeValidation(target, parent, definitions, walk);
                 ForEachEntry(parent.GetNamedSoup(kTagValidation),
                              [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                                AddChildEntry(target, q, node);
                              });
                 walk.Leave();
               });
}

}  // namespace

void MergeInheritedValidation(Soup& target, const Soup& definition, RunDefinitions& definitions) {
  target.EnsureContainer();
  InheritWalk walk;
  MergeValidation(target, definition, definitions, walk);
}

Soup Container::GetDefinition(const Qel::PString& definitionName) {
  return Definitions().Get(definitionName);
}

void Container::MergeInheritedDefinitions(Soup& subpossibilities, Soup& tagArray,
                                          Soup& arrayElement, const Soup& inherit) {
  InheritWalk walk;
  MergeInherited(subpossibilities, tagArray, arrayElement, inherit, walk);
}

void Container::MergeInherited(Soup& subpossibilities, Soup& tagArray, Soup& arrayElement,
                               const Soup& inherit, InheritWalk& walk) {
  subpossibilities.EnsureContainer();
  tagArray.EnsureContainer();
  arrayElement.EnsureContainer();
  ForEachEntry(inherit, [&](const Qel::PString& p, const MPRef<ACSChunk>& /*node*/) {
    if (!walk.Enter(p)) return;
    inheritedDefinitionNames_.push_back(p);
    const Soup parent = GetDefinition(p);
    const Soup parentInherit = parent.GetNamedSoup(kTagInherit);
    if (parentInherit.CountTags() != 0) {
      MergeInherited(subpossibilities, tagArray, arrayElement, parentInherit, walk);
    }
    ForEachEntry(parent.GetNamedSoup(kTagSubpossibilities),
                 [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                   AddChildEntry(subpossibilities, q, node);
                 });
    ForEachEntry(parent.GetNamedSoup(kTagTagarray),
                 [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                   AddChildEntry(tagArray, q, node);
                 });
    ForEachEntry(parent.GetNamedSoup(kTagArrayElement),
                 [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                   arrayElement.SetNamedTag(q, NodeText(node.Get()));
                 });
    walk.Leave();
  });
}

void Container::BuildChildren(const Soup& given, bool /*flag*/) {
  const Soup definition = Definitions().Resolve(given);
  Soup subpossibilities;
  Soup tagArray;
  Soup arrayElement;
  MergeInheritedDefinitions(subpossibilities, tagArray, arrayElement,
                            definition.GetNamedSoup(kTagInherit));
  ForEachEntry(definition.GetNamedSoup(kTagSubpossibilities),
               [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                 AddChildEntry(subpossibilities, q, node);
               });
  ForEachEntry(definition.GetNamedSoup(kTagTagarray),
               [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                 AddChildEntry(tagArray, q, node);
               });
  ForEachEntry(definition.GetNamedSoup(kTagArrayElement),
               [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
                 arrayElement.SetNamedTag(q, NodeText(node.Get()));
               });

  ForEachEntry(subpossibilities, [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    if (name.IsEmpty() || !IsContainer(node) || node->CountChildren() == 0) return;
    const Soup entry = Soup::FromChunk(node);
    const Qel::PString kind = entry.GetNamedTag(kTagKind);
    if (kind == kTagElement) {
      const Qel::PString elementType = entry.GetNamedTag(kTagElementType);
      if (entry.GetNamedTagAsInt(kTagCompulsory, 0) != 0) AttachDefinition(elementType);
      RegisterAllowedChild(name, elementType);
    } else if (kind == kTagValue && entry.GetNamedTagAsInt(kTagCompulsory, 0) != 0) {
      std::unique_ptr<Tag> tag(MakeTag(this, name, entry, nullptr));
      if (tag == nullptr) return;
      tag->AttachRules(entry);
      extraTags_.push_back(tag.release());
    }
  });
  if (arrayElement.CountTags() != 0) arrayElementDefinition_ = arrayElement;
  ForEachEntry(tagArray, [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    RegisterAllowedChild(name, NodeText(node.Get()));
  });
}

Soup Container::FindAllowedChildDefinition(const Soup& definition, const Qel::PString& childName) {
  const Soup subpossibilities = definition.GetNamedSoup(kTagSubpossibilities);
  Soup entry = subpossibilities.GetNamedSoup(childName);
  if (!entry.IsNull()) return entry;
  entry = definition.GetNamedSoup(kTagArrayElement);
  if (!entry.IsNull()) return entry;
  if (childName == kTagZero || std::strtol(childName.CStr(), nullptr, 10) != 0) {
    Soup numbered;
    ForEachEntry(subpossibilities, [&](const Qel::PString& /*name*/, const MPRef<ACSChunk>& node) {
      if (!numbered.IsNull() || !IsContainer(node)) return;
      const Soup candidate = Soup::FromChunk(node);
      if (candidate.GetNamedTagAsInt(kTagNumarray, 0) != 0) numbered = candidate;
    });
    return numbered;
  }
  return {};
}

bool Container::FindChildDefinition(const Soup& definition, const Qel::PString& tagName,
                                    Container* target, Soup& out) {
  out = FindAllowedChildDefinition(definition, tagName);
  if (out.IsNull()) {
    if (StartsWith(tagName, kStringTablePrefix)) {
      out = FindAllowedChildDefinition(definition, kTagStringTable);
    } else if (StartsWith(tagName, kTagSmoke)) {
      out = GetDefinition(kTagSmoke);
      if (out.IsNull()) AddErrorFinding(LocalisedFinding(kKeyNoSmoke, tagName), target);
    }
  }
  return !out.IsNull();
}

Qel::PString Container::SelectContainerType(const Soup& definition, const Qel::PString& kind) {
  const std::unordered_map<u32, Qel::PString> types = ContainerTypes(definition);
  for (u32 i = 0;; ++i) {
    const auto found = types.find(i);
    if (found == types.end()) break;
    if (found->second == kind) return kind;
  }
  return definition.GetNamedTag(kTagContainerType0);
}

void Container::CollectCompulsoryTags(const Soup& definition, std::map<Qel::PString, f32>& map) {
  ForEachEntry(definition.GetNamedSoup(kTagSubpossibilities),
               [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
                 if (!IsContainer(node)) return;
                 const Soup entry = Soup::FromChunk(node);
                 if (entry.HasNamedTag(kTagElementType)) return;
                 const f32 build = entry.GetNamedTagAsFloat(kTagCompulsory, 0.0f);
                 if (build > 0.0f) map[name] = build;
               });
}

void Container::CollectCompulsoryContainers(const Soup& definition,
                                            std::map<Qel::PString, f32>& map) {
  ForEachEntry(definition.GetNamedSoup(kTagSubpossibilities),
               [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
                 if (!IsContainer(node)) return;
                 const Soup entry = Soup::FromChunk(node);
                 if (!entry.HasNamedTag(kTagElementType)) return;
                 const f32 build = entry.GetNamedTagAsFloat(kTagCompulsory, 0.0f);
                 if (build > 0.0f) map[name] = build;
               });
}

void Container::ApplyObsoleteTags(Soup& definition) {
  const Soup obsolete = definition.GetNamedSoup(kTagObsoleteTag);
  if (obsolete.IsNull()) return;
  const i32 build = WholeBuild(DataManager::Instance().GetBuildNumber());
  std::vector<std::pair<Qel::PString, MPRef<ACSChunk>>> allowed;
  ForEachEntry(obsolete, [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    const f32 version = IsContainer(node)
                            ? Soup::FromChunk(node).GetNamedTagAsFloat(kTagObsoleteVersion, 2.6f)
                            : 2.6f;
    if (build >= WholeBuild(version)) {
      if (std::find(obsoleteTagNames_.begin(), obsoleteTagNames_.end(), name) ==
          obsoleteTagNames_.end()) {
        obsoleteTagNames_.push_back(name);
      }
    } else {
      allowed.emplace_back(name, node);
    }
  });
  if (allowed.empty() || definition.GetNamedSoup(kTagSubpossibilities).IsNull()) return;
  definition = Definitions().Writable(definition);
  Soup subpossibilities = definition.GetNamedSoup(kTagSubpossibilities);
  for (const auto& [name, node] : allowed) AddChildEntry(subpossibilities, name, node);
}

Soup Container::FindTagDefinition(const Qel::PString& tagName, const Soup& definition,
                                  const std::vector<Soup>& inherited) {
  Soup found = definition.GetNamedSoup(kTagSubpossibilities).GetNamedSoup(tagName);
  if (!found.IsNull()) return found;
  for (const Soup& parent : inherited) {
    found = parent.GetNamedSoup(kTagSubpossibilities).GetNamedSoup(tagName);
    if (!found.IsNull()) return found;
    found = parent.GetNamedSoup(kTagTagarray);
    if (!found.IsNull()) return found;
  }
  return definition.GetNamedSoup(kTagTagarray);
}

std::unique_ptr<Container> Container::CreateChildContainer(const Qel::PString& tagName,
                                                           Container* parent,
                                                           const Qel::PString& definitionName,
                                                           i32 index, const Soup& config) {
  const Soup definition = GetDefinition(definitionName);
  if (definition.IsNull()) {
    AddErrorFinding(LocalisedFinding(kKeyNoContainerDefinition, definitionName), parent);
    return nullptr;
  }
  auto child = std::make_unique<Container>(tagName, parent, definitionName, index);
  child->definitionsRoot_ = DataManager::Instance().GetDefinitions();
  child->configSoup_ = config;
  child->savingName_ = definition.GetNamedTag(kTagSavingname);
  return child;
}

bool Container::LoadFromDefinition(Soup config, Soup definition, Container* target) {
  RunDefinitions& definitions = Definitions();
  definition = definitions.Resolve(definition);

  std::vector<Soup> inherited;
  ForEachEntry(definition.GetNamedSoup(kTagInherit),
               [&](const Qel::PString& name, const MPRef<ACSChunk>& /*node*/) {
                 inherited.push_back(definitions.Get(name));
               });

  std::map<Qel::PString, f32> compulsoryTags;
  std::map<Qel::PString, f32> compulsoryContainers;
  CollectCompulsoryTags(definition, compulsoryTags);
  for (const Soup& parent : inherited) CollectCompulsoryTags(parent, compulsoryTags);
  CollectCompulsoryContainers(definition, compulsoryContainers);
  for (const Soup& parent : inherited) CollectCompulsoryContainers(parent, compulsoryContainers);

  ApplyObsoleteTags(definition);
  for (Soup& parent : inherited) ApplyObsoleteTags(parent);

  i32 childCounter = 0;
  bool loaded = true;
  ForEachEntry(config, [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    if (!loaded) return;
    if (IsContainer(node)) {
      loaded = LoadContainerTag(name, Soup::FromChunk(node), config, definition, inherited, target,
                                compulsoryContainers, childCounter);
    } else {
      LoadValueTag(name, node.Get(), config, definition, inherited, target, compulsoryTags);
    }
  });
  if (!loaded) return false;

  ReportMissingEntries(config, definition, inherited, target, compulsoryTags, compulsoryContainers);
  MoveHeadTagsFirst();
  return true;
}

bool Container::LoadContainerTag(const Qel::PString& tagName, const Soup& childConfig,
                                 const Soup& config, const Soup& definition,
                                 std::vector<Soup>& inherited, Container* target,
                                 std::map<Qel::PString, f32>& compulsoryContainers,
                                 i32& childCounter) {
  RunDefinitions& definitions = Definitions();
  Soup entry;
  bool found =
      loadDepth_ < kMaxLoadDepth && FindChildDefinition(definition, tagName, target, entry);
  for (size_t i = 0; !found && loadDepth_ < kMaxLoadDepth && i < inherited.size(); ++i) {
    if (!inherited[i].IsNull()) found = FindChildDefinition(inherited[i], tagName, target, entry);
  }
  if (!found) {
    const bool obsolete = !inherited.empty() &&
                          std::find(obsoleteTagNames_.begin(), obsoleteTagNames_.end(), tagName) !=
                              obsoleteTagNames_.end();
    if (obsolete) {
      AddWarningFinding(LocalisedFinding(kKeyObsoleteTag, tagName, target->name_));
    } else {
      AddErrorFinding(LocalisedFinding(kKeyNoDefinition, tagName, target->name_), target);
    }
    if (tagName == kTagDotCache) AddErrorFinding(LocalisedFinding(kKeyOldContainer));
    return true;
  }
  entry = definitions.Resolve(entry);

  // Each case makes the child, readies it, hands it to the target and loads its level; a child
  // that cannot be made or readied is released before the load returns false.
  std::unique_ptr<Container> child;
  Soup childDefinition;
  const Qel::PString kind = entry.GetNamedTag(kTagKind);
  if (entry.HasNamedTag(kTagContainerType0)) {
    const Qel::PString typeName = SelectContainerType(entry, childConfig.GetNamedTag(kTagKind));
    if (ErrorHandler* handler = ErrorHandler::Instance()) {
      handler->TraceContainer(FormatText(kTraceLoad, typeName).ToPString(), this);
    }
    child = CreateChildContainer(tagName, target, typeName, childCounter++, config);
    if (child == nullptr) return false;
    DataManager::Instance().RegisterByName(target->name_, child.get(), child->name_);
    childDefinition = GetDefinition(typeName);
    child->BuildChildren(childDefinition, true);
  } else if (kind == kTagElement) {
    compulsoryContainers.erase(tagName);
    const Qel::PString elementType = entry.GetNamedTag(kTagElementType);
    child = CreateChildContainer(tagName, target, elementType, childCounter++, config);
    if (child == nullptr) return false;
    childDefinition = GetDefinition(elementType);
    if (childDefinition.IsNull()) {
      // The child never joins the tree, so the finding belongs to the container it was meant for.
      AddErrorFinding(LocalisedFinding(kKeyNoContainerDefinition, tagName), target);
      return false;
    }
    const Soup arrayElement = childDefinition.GetNamedSoup(kTagArrayElement);
    if (!arrayElement.IsNull()) {
      const std::unordered_map<u32, Qel::PString> types = ContainerTypes(arrayElement);
      const u32 count = arrayElement.CountTags();
      for (u32 j = 0; j < count; ++j) {
        const auto type = types.find(j);
        if (type != types.end() && type->second.IsSet()) {
          child->RegisterAllowedChild(Qel::PString(), type->second);
        }
      }
    }
    const Soup tagArray = childDefinition.GetNamedSoup(kTagTagarray);
    if (!tagArray.IsNull()) child->tagArrayDefinition_ = tagArray;
    if (childDefinition.HasNamedTag(kTagSubpossibilities))
      child->BuildChildren(childDefinition, true);
  } else if (entry.GetNamedTag(kTagIcon) == kTagSmoke) {
    child = CreateChildContainer(tagName, target, kTagSmoke, childCounter++, config);
    if (child == nullptr) return false;
    childDefinition = entry;
    child->BuildChildren(childDefinition, true);
  } else {
    AddErrorFinding(LocalisedFinding(kKeyErrorInTemplate, kind), target);
    return true;
  }
  AttachContainerRules(childDefinition, child.get());
  Container* loading = child.get();
  target->AddChildContainer(std::move(child));
  ++loadDepth_;
  const bool loaded = LoadFromDefinition(childConfig, childDefinition, loading);
  --loadDepth_;
  return loaded;
}

void Container::LoadValueTag(const Qel::PString& tagName, const ACSChunk* node, const Soup& config,
                             const Soup& definition, const std::vector<Soup>& inherited,
                             Container* target, std::map<Qel::PString, f32>& compulsoryTags) {
  compulsoryTags.erase(tagName);
  Qel::PString lookup = tagName;
  if (StartsWith(tagName, kDescriptionPrefix)) {
    lookup = kTagDescription;
  } else if (StartsWith(tagName, kUsernamePrefix)) {
    lookup = kTagUsername;
  }
  Soup tagDefinition = FindTagDefinition(lookup, definition, inherited);
  if (tagDefinition.IsNull()) {
    // Numbered tags: "ab12" stands for the entry "ab0", "x5" for "x0", when that is a sequence.
    const std::string_view text = lookup.View();
    const size_t n = text.size();
    size_t cut = 0;
    if (n > 3 && IsDigit(text[n - 1]) && IsDigit(text[n - 2])) {
      cut = 2;
    } else if (n > 2 && IsDigit(text[n - 1])) {
      cut = 1;
    }
    if (cut != 0) {
      const Qel::PString numbered(std::string(text.substr(0, n - cut)) + "0");
      tagDefinition = FindTagDefinition(numbered, definition, inherited);
      if (tagDefinition.GetNamedTagAsInt(kSequence, 0) == 0) tagDefinition = Soup();
    }
  }
  std::unique_ptr<Tag> tag(MakeTag(target, tagName, tagDefinition, &config, node));
  if (tag == nullptr) return;
  tag->AttachRules(tagDefinition);
  target->AddTag(tag.release());
}

void Container::ReportMissingEntries(const Soup& config, const Soup& definition,
                                     const std::vector<Soup>& inherited, Container* target,
                                     const std::map<Qel::PString, f32>& compulsoryTags,
                                     const std::map<Qel::PString, f32>& compulsoryContainers) {
  for (const auto& [name, build] : compulsoryTags) {
    const Soup tagDefinition = FindTagDefinition(name, definition, inherited);
    const bool emitterTag =
        std::find(std::begin(kEmitterTags), std::end(kEmitterTags), name) != std::end(kEmitterTags);
    if (emitterTag && target->HasTagNamed(kFile)) continue;
    if (BuildReached(build)) {
      std::unique_ptr<Tag> tag(MakeTag(target, name, tagDefinition, &config));
      if (tag == nullptr) continue;
      tag->AttachRules(tagDefinition);
      AddErrorFinding(LocalisedFinding(kKeyMissingTag, name), tag.get());
      target->AddTag(tag.release());
    } else {
      AddWarningFinding(LocalisedFinding(kKeyMissingTag, name));
    }
  }
  for (const auto& [name, build] : compulsoryContainers) {
    const Qel::PString text = LocalisedFinding(kKeyMissingContainer, name);
    if (BuildReached(build)) {
      AddErrorFinding(text);
    } else {
      AddWarningFinding(text);
    }
  }
}

}  // namespace TETLib
