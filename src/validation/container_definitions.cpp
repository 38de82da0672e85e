// Matching a configuration against the definitions: the containers' operations that read the
// definitions, recurse into the configuration and report what the definitions do not allow.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <new>
#include <string>

#include "assetdata/interface_text.h"
#include "platform/ascii_text.h"
#include "validation/container.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/finding_text.h"
#include "validation/tag_vocabulary.h"
#include "validation/texture_check.h"

namespace TETLib {

namespace {

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
const Qel::PString kFile("file");
// A smoke emitter that names a "file" takes these from it.
const Qel::PString kEmitterTags[] = {"lifetime", "maxsize", "minsize", "rate", "velocity"};
constexpr const char* kTraceLoad = "we're now up to %s";

// A configuration nested deeper than a soup may be is not followed further.
constexpr u32 kMaxLoadDepth = kMaxSoupDepth;

// Whether strtol reads the text (base 10) as a number other than 0. A text that starts with none
// of what strtol reads first, as most names do, reads as 0 without the call.
bool ReadsAsNonZero(const char* text) {
  const char c = *text;
  if (!IsAsciiDigit(c) && c != '+' && c != '-' && c != ' ' && (c < '\t' || c > '\r')) return false;
  return std::strtol(text, nullptr, 10) != 0;
}

template <class Visit>
void ForEachEntry(const Soup& soup, Visit&& visit) {
  if (!soup.IsNull()) ForEachChild(soup.GetRoot().Get(), visit);
}

bool IsContainer(const MPRef<ACSChunk>& node) { return node && node->GetKind() == kKindContainer; }

// A definition's entries of the three parts go in after what is there, each replacing one of its
// name.
void MergeParts(MergedEntries& merged, const DefinitionFacts& facts) {
  ForEachEntry(facts.subpossibilities, [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
    merged.subpossibilities.Set(q, node);
  });
  ForEachEntry(facts.tagArray, [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
    merged.tagArray.Set(q, node);
  });
  ForEachEntry(facts.arrayElement, [&](const Qel::PString& q, const MPRef<ACSChunk>& node) {
    merged.arrayElement.Set(q, NodeText(node.Get()));
  });
}

// What the cache keeps for a definition, reached through the memo its facts hold once found
// (find gives it, or null). The memo is kept for a definition only, not for none, whose facts
// every cache shares.
template <class Plan, class Find>
const Plan* KeptPlan(const Soup& definition, const Plan*& memo, Find&& find) {
  if (memo != nullptr) return memo;
  const Plan* kept = find();
  if (kept != nullptr && !definition.IsNull()) memo = kept;
  return kept;
}

void AddChildEntry(Soup& target, const Qel::PString& name, const MPRef<ACSChunk>& node) {
  target.RemoveNamedTag(name);
  target.GetRoot()->AddChild(name, node);
}

}  // namespace

void CompulsoryEntries::EndInline() {
  Entry* entries = Data();
  for (u32 i = 0; i < count_; ++i) entries[i].~Entry();
}

void CompulsoryEntries::Set(const Qel::PString& name, f32 build) {
  Entry* entries = Data();
  for (u32 i = 0; i < count_; ++i) {
    if (entries[i].first == name) {
      entries[i].second = build;
      return;
    }
  }
  if (!spilled_.empty()) {
    spilled_.emplace_back(name, build);
  } else if (count_ < kInline) {
    new (entries + count_) Entry(name, build);
  } else {
    // The inline ones move over, all together, and are ended there.
    spilled_.reserve(2 * kInline);
    for (u32 i = 0; i < count_; ++i) {
      spilled_.push_back(std::move(entries[i]));
      entries[i].~Entry();
    }
    spilled_.emplace_back(name, build);
  }
  ++count_;
}

void CompulsoryEntries::EraseHeld(const Qel::PString& name) {
  Entry* entries = Data();
  for (u32 i = 0; i < count_; ++i) {
    if (entries[i].first != name) continue;
    if (!spilled_.empty()) {
      // A spilled list that empties leaves count_ at 0, which the inline form reads alike.
      spilled_.erase(spilled_.begin() + i);
      --count_;
      return;
    }
    std::move(entries + i + 1, entries + count_, entries + i);
    entries[--count_].~Entry();
    return;
  }
}

std::vector<std::pair<Qel::PString, f32>> CompulsoryEntries::Sorted() const {
  if (count_ == 0) return {};
  const Entry* entries = Data();
  std::vector<std::pair<Qel::PString, f32>> sorted(entries, entries + count_);
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return sorted;
}

bool InheritWalk::Enter(const Qel::PString& p) {
  const auto onPath = std::find(path_.begin(), path_.end(), p);
  if (onPath != path_.end()) {
    std::string cycle;
    for (auto it = onPath; it != path_.end(); ++it) cycle.append(it->View()).append(" > ");
    cycle.append(p.View());
    Report(LocalisedFinding(kKeyInheritCycle, p, cycle));
    return false;
  }
  if (path_.size() >= kMaxDepth) {
    Report(LocalisedFinding(kKeyInheritTooDeep, path_.front(), i32(kMaxDepth)));
    return false;
  }
  if (!merged_.insert(p).second) return false;
  path_.push_back(p);
  return true;
}

void InheritWalk::Report(const Qel::PString& text) {
  if (findings_ != nullptr) {
    findings_->push_back(text);
  } else {
    AddErrorFinding(text);
  }
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

void MergeValidation(EntryList<MPRef<ACSChunk>>& target, const Soup& definition,
                     RunDefinitions& definitions, InheritWalk& walk) {
  const std::vector<Qel::PString> inherit = definitions.Facts().Definition(definition).inheritNames;
  for (const Qel::PString& p : inherit) {
    if (!walk.Enter(p)) continue;
    const Soup parent = definitions.Get(p);
    if (parent.HasNamedTag(kTagInherit)) MergeValidation(target, parent, definitions, walk);
    ForEachEntry(definitions.Facts().Definition(parent).validation,
                 [&](const Qel::PString& q, const MPRef<ACSChunk>& node) { target.Set(q, node); });
    walk.Leave();
  }
}

}  // namespace

const ValidationPlan& PlanInheritedValidation(const Soup& definition, RunDefinitions& definitions) {
  DefinitionFactsCache& cache = definitions.Facts();
  if (const ValidationPlan* known = cache.FindValidationPlan(definition)) return *known;
  auto plan = std::make_unique<ValidationPlan>();
  EntryList<MPRef<ACSChunk>> merged;
  InheritWalk walk(&plan->findings);
  MergeValidation(merged, definition, definitions, walk);
  plan->entries = merged.Items();
  return cache.StoreValidationPlan(definition, std::move(plan));
}

void MergeInheritedValidation(Soup& target, const Soup& definition, RunDefinitions& definitions) {
  target.EnsureContainer();
  const ValidationPlan& plan = PlanInheritedValidation(definition, definitions);
  for (const Qel::PString& finding : plan.findings) AddErrorFinding(finding);
  for (const auto& [name, node] : plan.entries) AddChildEntry(target, name, node);
}

Soup Container::GetDefinition(const Qel::PString& definitionName) {
  return Definitions().Get(definitionName);
}

void Container::MergeInheritedDefinitions(MergedEntries& merged, const Soup& inherit) {
  InheritWalk walk(&merged.findings);
  MergeInherited(merged, inherit, walk);
}

void Container::MergeInherited(MergedEntries& merged, const Soup& inherit, InheritWalk& walk) {
  ForEachEntry(inherit, [&](const Qel::PString& p, const MPRef<ACSChunk>& /*node*/) {
    if (!walk.Enter(p)) return;
    merged.inheritedNames.push_back(p);
    const DefinitionFacts& facts = Definitions().Facts().Definition(GetDefinition(p));
    if (facts.inherit.CountTags() != 0) MergeInherited(merged, facts.inherit, walk);
    MergeParts(merged, facts);
    walk.Leave();
  });
}

const BuildPlan& Container::PlanChildren(const Soup& definition) {
  DefinitionFactsCache& cache = Definitions().Facts();
  const DefinitionFacts& facts = cache.Definition(definition);
  if (const BuildPlan* known =
          KeptPlan(definition, facts.buildPlan, [&] { return cache.FindPlan(definition); })) {
    return *known;
  }
  MergedEntries merged;
  MergeInheritedDefinitions(merged, cache.Definition(definition).inherit);
  MergeParts(merged, cache.Definition(definition));

  auto plan = std::make_unique<BuildPlan>();
  plan->inheritedNames = std::move(merged.inheritedNames);
  plan->findings = std::move(merged.findings);
  for (const auto& [name, node] : merged.subpossibilities.Items()) {
    if (name.IsEmpty() || !IsContainer(node) || node->CountChildren() == 0) continue;
    const Soup entry = Soup::FromChunk(node);
    const EntryFacts& facts = cache.Entry(entry);
    if (facts.kind == kTagElement) {
      plan->elements.push_back(
          {name, facts.elementType, GetDefinition(facts.elementType), facts.compulsoryInt != 0});
    } else if (facts.kind == kTagValue && facts.compulsoryInt != 0) {
      plan->values.emplace_back(name, entry);
    }
  }
  if (!merged.arrayElement.Items().empty()) {
    plan->arrayElement.EnsureContainer();
    for (const auto& [name, text] : merged.arrayElement.Items()) {
      plan->arrayElement.SetNamedTag(name, text);
    }
  }
  for (const auto& [name, node] : merged.tagArray.Items()) {
    const Qel::PString definitionName = NodeText(node.Get());
    plan->tagArrays.push_back({name, definitionName, GetDefinition(definitionName), false});
  }
  // As AllowChild leaves them, from none: a name that is set is allowed once.
  AllowedChildren& allowed = plan->allowed;
  for (const std::vector<BuildPlan::Child>* children : {&plan->elements, &plan->tagArrays}) {
    for (const BuildPlan::Child& child : *children) {
      if (child.name.IsSet() && std::find(allowed.names.begin(), allowed.names.end(), child.name) !=
                                    allowed.names.end()) {
        continue;
      }
      allowed.names.push_back(child.name);
      allowed.definitions.push_back(child.definition);
    }
  }
  const BuildPlan& stored = cache.StorePlan(definition, std::move(plan));
  KeptPlan(definition, cache.Definition(definition).buildPlan, [&] { return &stored; });
  return stored;
}

void Container::BuildChildren(const Soup& given, bool /*flag*/) {
  const Soup definition = Definitions().Resolve(given);
  const BuildPlan& plan = PlanChildren(definition);
  for (const Qel::PString& finding : plan.findings) AddErrorFinding(finding);
  // A container that has none yet takes the plan's names as they are.
  if (!plan.inheritedNames.empty()) {
    if (sharedInheritedNames_ == nullptr && inheritedDefinitionNames_.empty()) {
      sharedInheritedNames_ = &plan.inheritedNames;
    } else {
      if (sharedInheritedNames_ != nullptr) inheritedDefinitionNames_ = *sharedInheritedNames_;
      sharedInheritedNames_ = nullptr;
      inheritedDefinitionNames_.insert(inheritedDefinitionNames_.end(), plan.inheritedNames.begin(),
                                       plan.inheritedNames.end());
    }
  }
  // A container that allows nothing yet takes the plan's list as it is.
  const bool share = sharedAllowed_ == nullptr && allowedChildNames_.empty();
  if (share) {
    if (!plan.allowed.names.empty()) sharedAllowed_ = &plan.allowed;
  } else {
    OwnAllowedChildren();
    const size_t allowed = plan.elements.size() + plan.tagArrays.size();
    allowedChildNames_.reserve(allowedChildNames_.size() + allowed);
    allowedChildDefinitions_.reserve(allowedChildDefinitions_.size() + allowed);
  }
  for (const BuildPlan::Child& element : plan.elements) {
    if (element.attach)
      attachedDefinitions_.insert(attachedDefinitions_.begin(), element.definition);
    if (!share) AllowChild(element.name, element.definition);
  }
  for (const auto& [name, entry] : plan.values) {
    Tag* tag = MakeTag(this, name, entry, nullptr);
    if (tag != nullptr) extraTags_.push_back(tag);
  }
  if (!plan.arrayElement.IsNull()) arrayElementDefinition_ = plan.arrayElement;
  if (!share) {
    for (const BuildPlan::Child& tagArray : plan.tagArrays)
      AllowChild(tagArray.name, tagArray.definition);
  }
}

Soup Container::FindAllowedChildDefinition(const Soup& definition, const Qel::PString& childName) {
  DefinitionFactsCache& cache = Definitions().Facts();
  const DefinitionFacts& facts = cache.Definition(definition);
  Soup entry = facts.entries.Container(childName);
  if (!IsNone(entry)) return entry;
  if (!IsNone(facts.arrayElement)) return facts.arrayElement;
  if (childName == kTagZero || ReadsAsNonZero(childName.CStr())) {
    Soup numbered;
    ForEachEntry(facts.subpossibilities,
                 [&](const Qel::PString& /*name*/, const MPRef<ACSChunk>& node) {
                   if (!numbered.IsNull() || !IsContainer(node)) return;
                   const Soup candidate = Soup::FromChunk(node);
                   if (cache.Entry(candidate).numarray != 0) numbered = candidate;
                 });
    return numbered;
  }
  return {};
}

bool Container::FindChildDefinition(const Soup& definition, const Qel::PString& tagName,
                                    Container* target, Soup& out) {
  out = FindAllowedChildDefinition(definition, tagName);
  if (IsNone(out)) {
    if (StartsWith(tagName, kStringTablePrefix)) {
      out = FindAllowedChildDefinition(definition, kTagStringTable);
    } else if (StartsWith(tagName, kTagSmoke)) {
      out = GetDefinition(kTagSmoke);
      if (IsNone(out)) AddErrorFinding(LocalisedFinding(kKeyNoSmoke, tagName), target);
    }
  }
  return !IsNone(out);
}

Qel::PString Container::SelectContainerType(const Soup& definition, const Qel::PString& kind) {
  const EntryFacts& facts = Definitions().Facts().Entry(definition);
  for (u32 i = 0; i < facts.containerTypeRun; ++i) {
    if (facts.containerTypes[i] == kind) return kind;
  }
  // The facts hold "container-type0" as its text (empty when it is missing) whenever the entry
  // names any container type.
  if (!facts.containerTypes.empty()) return facts.containerTypes.front();
  return definition.GetNamedTag(kTagContainerType0);
}

void Container::CollectCompulsoryTags(const Soup& definition, CompulsoryEntries& map) {
  for (const auto& [name, build] : Definitions().Facts().Definition(definition).compulsoryTags) {
    map.Set(name, build);
  }
}

void Container::CollectCompulsoryContainers(const Soup& definition, CompulsoryEntries& map) {
  for (const auto& [name, build] :
       Definitions().Facts().Definition(definition).compulsoryContainers) {
    map.Set(name, build);
  }
}

void Container::ApplyObsoleteTags(Soup& definition) {
  const Soup obsolete = Definitions().Facts().Definition(definition).obsoleteTag;
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
  DefinitionFactsCache& cache = Definitions().Facts();
  Soup found = cache.Definition(definition).entries.Container(tagName);
  if (!IsNone(found)) return found;
  for (const Soup& parent : inherited) {
    const DefinitionFacts& facts = cache.Definition(parent);
    found = facts.entries.Container(tagName);
    if (!IsNone(found)) return found;
    if (!IsNone(facts.tagArray)) return facts.tagArray;
  }
  return cache.Definition(definition).tagArray;
}

std::unique_ptr<Container> Container::CreateChildContainer(const Qel::PString& tagName,
                                                           Container* parent,
                                                           const Qel::PString& definitionName,
                                                           i32 index, const Soup& config) {
  return MakeChild(tagName, parent, definitionName, GetDefinition(definitionName), index, config);
}

std::unique_ptr<Container> Container::MakeChild(const Qel::PString& tagName, Container* parent,
                                                const Qel::PString& definitionName,
                                                const Soup& definition, i32 index,
                                                const Soup& config) {
  if (IsNone(definition)) {
    AddErrorFinding(LocalisedFinding(kKeyNoContainerDefinition, definitionName), parent);
    return nullptr;
  }
  auto child = std::make_unique<Container>(tagName, parent, definitionName, index);
  child->configSoup_ = config;
  child->savingName_ = Definitions().Facts().Entry(definition).savingName;
  return child;
}

bool Container::LoadFromDefinition(const Soup& config, const Soup& given, Container* target) {
  RunDefinitions& definitions = Definitions();
  Soup definition = definitions.Resolve(given);

  // Facts stay readable while the load goes on, also when a change forgets them; so do the
  // definitions they inherit, looked up once for the facts (a change that would make another
  // answer forgets the facts).
  const DefinitionFacts& facts = definitions.Facts().Definition(definition);
  if (!facts.inheritedLookedUp) {
    facts.inherited.reserve(facts.inheritNames.size());
    for (const Qel::PString& name : facts.inheritNames) {
      facts.inherited.push_back(definitions.Get(name));
    }
    facts.inheritedLookedUp = true;
  }
  const std::vector<Soup>* inherited = &facts.inherited;

  CompulsoryEntries compulsoryTags;
  CompulsoryEntries compulsoryContainers;
  CollectCompulsoryTags(definition, compulsoryTags);
  for (const Soup& parent : *inherited) CollectCompulsoryTags(parent, compulsoryTags);
  CollectCompulsoryContainers(definition, compulsoryContainers);
  for (const Soup& parent : *inherited) CollectCompulsoryContainers(parent, compulsoryContainers);

  // Obsolete entries may make this load's own copies: of this level's handles only.
  std::vector<Soup> ownInherited;
  const auto hasObsolete = [&](const Soup& soup) {
    return !IsNone(definitions.Facts().Definition(soup).obsoleteTag);
  };
  if (hasObsolete(definition) || std::any_of(inherited->begin(), inherited->end(), hasObsolete)) {
    ownInherited = *inherited;
    inherited = &ownInherited;
    ApplyObsoleteTags(definition);
    for (Soup& parent : ownInherited) ApplyObsoleteTags(parent);
  }

  // Stays readable for the whole level, also when a child's load changes definitions.
  const TagLookup& level = LevelTagLookup(definition, *inherited);

  i32 childCounter = 0;
  bool loaded = true;
  ForEachEntry(config, [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    if (!loaded) return;
    if (IsContainer(node)) {
      loaded = LoadContainerTag(name, Soup::FromChunk(node), config, definition, *inherited, target,
                                compulsoryContainers, childCounter);
    } else {
      LoadValueTag(name, node.Get(), config, level, target, compulsoryTags);
    }
  });
  if (!loaded) return false;

  ReportMissingEntries(config, definition, *inherited, target, compulsoryTags,
                       compulsoryContainers);
  if (!headerTags_.empty()) MoveHeadTagsFirst();
  return true;
}

bool Container::LoadContainerTag(const Qel::PString& tagName, const Soup& childConfig,
                                 const Soup& config, const Soup& definition,
                                 const std::vector<Soup>& inherited, Container* target,
                                 CompulsoryEntries& compulsoryContainers, i32& childCounter) {
  RunDefinitions& definitions = Definitions();
  Soup entry;
  bool found =
      loadDepth_ < kMaxLoadDepth && FindChildDefinition(definition, tagName, target, entry);
  for (size_t i = 0; !found && loadDepth_ < kMaxLoadDepth && i < inherited.size(); ++i) {
    if (!IsNone(inherited[i])) found = FindChildDefinition(inherited[i], tagName, target, entry);
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
  definitions.ResolveInPlace(entry);

  // Each case makes the child, readies it, hands it to the target and loads its level; a child
  // that cannot be made or readied is released before the load returns false.
  std::unique_ptr<Container> child;
  Soup childDefinition;
  // Copied out: readying the child may change definitions, and with them the facts.
  const EntryFacts& facts = definitions.Facts().Entry(entry);
  const Qel::PString kind = facts.kind;
  const Qel::PString elementTypeName = facts.elementType;
  const bool polymorphic = facts.hasContainerType0;
  const bool smoke = facts.icon == kTagSmoke;
  if (polymorphic) {
    const Qel::PString typeName = SelectContainerType(entry, childConfig.GetNamedTag(kTagKind));
    ErrorHandler* handler = ErrorHandler::Instance();
    if (handler != nullptr && handler->TracesLoads()) {
      handler->TraceContainer(FormatText(kTraceLoad, typeName).ToPString(), this);
    }
    // The definition is looked up once, for the child and for its build.
    childDefinition = GetDefinition(typeName);
    child = MakeChild(tagName, target, typeName, childDefinition, childCounter++, config);
    if (child == nullptr) return false;
    DataManager::Instance().RegisterByName(target->name_, child.get(), child->name_);
    child->BuildChildren(childDefinition, true);
  } else if (kind == kTagElement) {
    compulsoryContainers.Erase(tagName);
    const Qel::PString& elementType = elementTypeName;
    childDefinition = GetDefinition(elementType);
    child = MakeChild(tagName, target, elementType, childDefinition, childCounter++, config);
    // Made only for a definition that exists.
    if (child == nullptr) return false;
    // Its parts as its facts hold them; facts stay readable while the children are allowed,
    // also if that forgets them.
    const DefinitionFacts& parts = definitions.Facts().Definition(childDefinition);
    if (!IsNone(parts.arrayElement)) {
      // A child of any name for each container type: looked up once for the facts (a change that
      // would make another answer forgets them).
      if (parts.elementChildren == nullptr) {
        auto children = std::make_unique<AllowedChildren>();
        for (const Qel::PString& type :
             definitions.Facts().Entry(parts.arrayElement).containerTypes) {
          if (type.IsEmpty()) continue;
          children->names.emplace_back();
          children->definitions.push_back(GetDefinition(type));
        }
        parts.elementChildren = std::move(children);
      }
      child->AllowChildren(*parts.elementChildren);
    }
    if (!IsNone(parts.tagArray)) child->tagArrayDefinition_ = parts.tagArray;
    if (childDefinition.HasNamedTag(kTagSubpossibilities))
      child->BuildChildren(childDefinition, true);
  } else if (smoke) {
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

const TagLookup& Container::LevelTagLookup(const Soup& definition,
                                           const std::vector<Soup>& inherited) {
  DefinitionFactsCache& cache = Definitions().Facts();
  if (const TagLookup* known = KeptPlan(definition, cache.Definition(definition).tagLookup,
                                        [&] { return cache.FindTagLookup(definition); })) {
    return *known;
  }
  auto lookup = std::make_unique<TagLookup>();
  // The first definition to hold a name as a container entry answers for it.
  const auto add = [&](const DefinitionFacts& facts) {
    for (const auto& [name, node] : facts.entries.children) {
      if (!IsContainer(node)) continue;
      const Soup entry = Soup::FromChunk(node);
      lookup->Add(name, entry, cache.Entry(entry));
    }
  };
  const DefinitionFacts& own = cache.Definition(definition);
  add(own);
  lookup->SetFallback(own.tagArray, cache.Entry(own.tagArray));
  for (const Soup& parent : inherited) {
    const DefinitionFacts& facts = cache.Definition(parent);
    add(facts);
    if (!facts.tagArray.IsNull()) {
      lookup->SetFallback(facts.tagArray, cache.Entry(facts.tagArray));
      break;
    }
  }
  const TagLookup& stored = cache.StoreTagLookup(definition, std::move(lookup));
  KeptPlan(definition, cache.Definition(definition).tagLookup, [&] { return &stored; });
  return stored;
}

void Container::LoadValueTag(const Qel::PString& tagName, const ACSChunk* node, const Soup& config,
                             const TagLookup& level, Container* target,
                             CompulsoryEntries& compulsoryTags) {
  static const TagLookup::Found noDefinition{Soup(), &NoEntryFacts()};
  compulsoryTags.Erase(tagName);
  // Names and definitions by reference: a level makes these look-ups for every tag.
  const Qel::PString* lookup = &tagName;
  const std::string_view name = tagName.View();
  // Their first letters first: most names have neither prefix.
  if (!name.empty() && name.front() == 'd' && name.starts_with(kDescriptionPrefix.View())) {
    lookup = &kTagDescription;
  } else if (!name.empty() && name.front() == 'u' && name.starts_with(kUsernamePrefix.View())) {
    lookup = &kTagUsername;
  }
  const TagLookup::Found* tagDefinition = &level.Find(*lookup);
  if (IsNone(tagDefinition->definition)) {
    // Numbered tags: "ab12" stands for the entry "ab0", "x5" for "x0", when that is a sequence.
    const std::string_view text = lookup->View();
    const size_t n = text.size();
    size_t cut = 0;
    if (n > 3 && IsAsciiDigit(text[n - 1]) && IsAsciiDigit(text[n - 2])) {
      cut = 2;
    } else if (n > 2 && IsAsciiDigit(text[n - 1])) {
      cut = 1;
    }
    if (cut != 0) {
      const Qel::PString numbered(std::string(text.substr(0, n - cut)) + "0");
      tagDefinition = &level.Find(numbered);
      if (tagDefinition->facts->sequence == 0) tagDefinition = &noDefinition;
    }
  }
  if (Tag* tag = MakeTagOf(target, tagName, tagDefinition->definition, *tagDefinition->facts,
                           &config, node)) {
    target->AddTag(tag);
  }
}

void Container::ReportMissingEntries(const Soup& config, const Soup& definition,
                                     const std::vector<Soup>& inherited, Container* target,
                                     const CompulsoryEntries& compulsoryTags,
                                     const CompulsoryEntries& compulsoryContainers) {
  for (const auto& [name, build] : compulsoryTags.Sorted()) {
    const Soup tagDefinition = FindTagDefinition(name, definition, inherited);
    const bool emitterTag =
        std::find(std::begin(kEmitterTags), std::end(kEmitterTags), name) != std::end(kEmitterTags);
    if (emitterTag && target->HasTagNamed(kFile)) continue;
    if (BuildReached(build)) {
      std::unique_ptr<Tag> tag(MakeTag(target, name, tagDefinition, &config));
      if (tag == nullptr) continue;
      AddErrorFinding(LocalisedFinding(kKeyMissingTag, name), tag.get());
      target->AddTag(tag.release());
    } else {
      AddWarningFinding(LocalisedFinding(kKeyMissingTag, name));
    }
  }
  for (const auto& [name, build] : compulsoryContainers.Sorted()) {
    const Qel::PString text = LocalisedFinding(kKeyMissingContainer, name);
    if (BuildReached(build)) {
      AddErrorFinding(text);
    } else {
      AddWarningFinding(text);
    }
  }
}

}  // namespace TETLib
