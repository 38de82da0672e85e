#include "validation/definition_facts.h"

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>

#include "platform/ascii_text.h"
#include "validation/container_internal.h"
#include "validation/tag.h"
#include "validation/tag_vocabulary.h"

namespace TETLib {

namespace {

const Qel::PString kSequence("sequence");
constexpr std::string_view kContainerTypePrefix = "container-type";

const DefinitionFacts& NoDefinition() {
  static const DefinitionFacts none;
  return none;
}

const NodeFacts& NoNode() {
  static const NodeFacts none;
  return none;
}

struct TypeName {
  const Qel::PString* name;
  i32 code;
};
const TypeName kTypeNames[] = {
    {&kTagFloat, kTagTypeFloat},
    {&kTagString, kTagTypeString},
    {&kTagInt, kTagTypeInt},
    {&kTagBool, kTagTypeBool},
    {&kTagVector2, kTagTypeVector2},
    {&kTagVector3, kTagTypeVector3},
    {&kTagRgb, kTagTypeVector3},
    {&kTagVector4, kTagTypeVector4},
    {&kTagVector5, kTagTypeVector5},
    {&kTagFloatlist, kTagTypeFloatList},
    {&kTagCombobox, kTagTypeComboBox},
    {&kTagIntcombobox, kTagTypeIntComboBox},
    {&kTagListbox, kTagTypeListBox},
    {&kTagDoublestring, kTagTypeDoubleString},
    {&kTagKuid, kTagTypeKUID},
    {&kTagFilepath, kTagTypeFilePath},
    {&kTagFilepathedit, kTagTypeFilePathEdit},
    {&kTagStringkuid, kTagTypeStringKUID},
    {&kTagKuidbrowser, kTagTypeKUIDBrowser},
    {&kTagStringkuidbrowser, kTagTypeStringKUIDBrowser},
};

// One walk over the entry's children, however many "container-type" texts it lists; the first of
// a repeated name counts.
void ReadContainerTypes(const Soup& entry, EntryFacts& facts) {
  const u32 count = entry.CountTags();
  std::vector<bool> present;
  ForEachChild(entry.GetRoot().Get(), [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
    const std::string_view view = name.View();
    if (!view.starts_with(kContainerTypePrefix)) return;
    const std::string_view digits = view.substr(kContainerTypePrefix.size());
    if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) return;
    if (!std::all_of(digits.begin(), digits.end(), IsAsciiDigit)) return;
    const u32 index = u32(std::stoul(std::string(digits)));
    if (index >= count) return;  // never reached from 0 without a gap, nor below the count
    if (facts.containerTypes.size() <= index) {
      facts.containerTypes.resize(index + 1);
      present.resize(index + 1, false);
    }
    if (present[index]) return;
    present[index] = true;
    facts.containerTypes[index] = NodeText(node.Get());
  });
  while (facts.containerTypeRun < present.size() && present[facts.containerTypeRun]) {
    ++facts.containerTypeRun;
  }
}

}  // namespace

Soup NodeFacts::Container(const Qel::PString& name) const {
  const auto found = children.find(name);
  if (found == children.end() || !found->second || found->second->GetKind() != kKindContainer) {
    return {};
  }
  return Soup::FromChunk(found->second);
}

const EntryFacts& NoEntryFacts() {
  static const EntryFacts none;
  return none;
}

void TagLookup::Add(const Qel::PString& name, const Soup& definition, const EntryFacts& facts) {
  if (name.IsEmpty()) {
    if (!hasEmptyName_) emptyName_ = {definition, &facts};
    hasEmptyName_ = true;
    return;
  }
  if (2 * (count_ + 1) > slots_.size()) Grow();
  const size_t mask = slots_.size() - 1;
  size_t i = Home(name);
  for (; slots_[i].name.IsSet(); i = (i + 1) & mask) {
    if (slots_[i].name == name) return;
  }
  slots_[i] = {name, {definition, &facts}};
  ++count_;
}

void TagLookup::Grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  const size_t size = old.empty() ? 16 : 2 * old.size();
  slots_.resize(size);
  shift_ = u32(64 - std::countr_zero(size));
  const size_t mask = size - 1;
  for (Slot& slot : old) {
    if (slot.name.IsEmpty()) continue;
    size_t i = Home(slot.name);
    while (slots_[i].name.IsSet()) i = (i + 1) & mask;
    slots_[i] = std::move(slot);
  }
}

i32 DefinitionFactsCache::TypeCode(const Qel::PString& type) {
  for (const TypeName& entry : kTypeNames) {
    if (*entry.name == type) return entry.code;
  }
  return kTagTypeUndefined;
}

void DefinitionFactsCache::Clear() {
  if (nodes_.empty() && entries_.empty() && definitions_.empty() && plans_.empty() &&
      validationPlans_.empty() && tagLookups_.empty()) {
    return;
  }
  auto forgotten = std::make_unique<DefinitionFactsCache>();
  forgotten->nodes_.swap(nodes_);
  forgotten->entries_.swap(entries_);
  forgotten->definitions_.swap(definitions_);
  forgotten->plans_.swap(plans_);
  forgotten->validationPlans_.swap(validationPlans_);
  forgotten->tagLookups_.swap(tagLookups_);
  forgotten_.push_back(std::move(forgotten));
  recentNodes_ = {};
  recentEntries_ = {};
  recentDefinitions_ = {};
}

template <class Plan, class Map>
const Plan* FindKept(const Map& map, const Soup& definition) {
  const auto found = map.find(definition.GetRoot().Get());
  return found == map.end() ? nullptr : found->second.facts.get();
}

const ValidationPlan* DefinitionFactsCache::FindValidationPlan(const Soup& definition) const {
  return FindKept<ValidationPlan>(validationPlans_, definition);
}

template <class Plan, class Map>
const Plan& StoreKept(Map& map, const Soup& definition, std::unique_ptr<Plan> plan) {
  auto& kept = map[definition.GetRoot().Get()];
  kept.node = definition.GetRoot();
  kept.facts = std::move(plan);
  return *kept.facts;
}

const ValidationPlan& DefinitionFactsCache::StoreValidationPlan(
    const Soup& definition, std::unique_ptr<ValidationPlan> plan) {
  return StoreKept(validationPlans_, definition, std::move(plan));
}

const TagLookup* DefinitionFactsCache::FindTagLookup(const Soup& definition) const {
  return FindKept<TagLookup>(tagLookups_, definition);
}

const TagLookup& DefinitionFactsCache::StoreTagLookup(const Soup& definition,
                                                      std::unique_ptr<TagLookup> lookup) {
  return StoreKept(tagLookups_, definition, std::move(lookup));
}

const BuildPlan* DefinitionFactsCache::FindPlan(const Soup& definition) const {
  return FindKept<BuildPlan>(plans_, definition);
}

const BuildPlan& DefinitionFactsCache::StorePlan(const Soup& definition,
                                                 std::unique_ptr<BuildPlan> plan) {
  return StoreKept(plans_, definition, std::move(plan));
}

const NodeFacts& DefinitionFactsCache::ReadNode(const ACSChunk* node) {
  if (!ACSChunk::IsPresent(node)) return NoNode();
  auto& kept = nodes_[node];
  if (kept.facts) {
    recentNodes_.Keep(node, kept.facts.get());
    return *kept.facts;
  }
  kept.node = MPRef<ACSChunk>(const_cast<ACSChunk*>(node));
  kept.facts = std::make_unique<NodeFacts>();
  ForEachChild(node, [&](const Qel::PString& name, const MPRef<ACSChunk>& child) {
    kept.facts->children.emplace(name, child);
  });
  return *kept.facts;
}

// Only present nodes are kept, so a slot answers before the presence test.
const EntryFacts& DefinitionFactsCache::ReadEntry(const Soup& entry) {
  if (entry.IsNull()) return NoEntryFacts();
  auto& kept = entries_[entry.GetRoot().Get()];
  if (kept.facts) {
    recentEntries_.Keep(entry.GetRoot().Get(), kept.facts.get());
    return *kept.facts;
  }
  kept.node = entry.GetRoot();
  kept.facts = std::make_unique<EntryFacts>();
  EntryFacts& facts = *kept.facts;
  facts.kind = entry.GetNamedTag(kTagKind);
  facts.hasElementType = entry.HasNamedTag(kTagElementType);
  facts.elementType = entry.GetNamedTag(kTagElementType);
  facts.hasContainerType0 = entry.HasNamedTag(kTagContainerType0);
  facts.icon = entry.GetNamedTag(kTagIcon);
  facts.defaultValue = entry.GetNamedTag(kTagDefault);
  facts.hasFilter = entry.HasNamedTag(kTagFilter);
  facts.filter = entry.GetNamedTag(kTagFilter);
  facts.source = entry.GetNamedTag(kTagSource);
  facts.dataType = entry.GetNamedTag(kTagDatatype);
  facts.hasCategory = entry.HasNamedTag(kTagCategory);
  facts.category = entry.GetNamedTag(kTagCategory);
  facts.savingName = entry.GetNamedTag(kTagSavingname);
  facts.typeCode = TypeCode(entry.GetNamedTag(kTagType));
  facts.hasMeshAsset = entry.HasNamedTag(kTagMeshAsset);
  facts.compulsory = entry.GetNamedTagAsFloat(kTagCompulsory, 0.0f);
  facts.compulsoryInt = entry.GetNamedTagAsInt(kTagCompulsory, 0);
  facts.disabled = entry.GetNamedTagAsInt(kTagDisabled, 0);
  facts.unique = entry.GetNamedTagAsInt(kTagUnique, 0);
  facts.sequence = entry.GetNamedTagAsInt(kSequence, 0);
  facts.numarray = entry.GetNamedTagAsInt(kTagNumarray, 0);
  ReadContainerTypes(entry, facts);
  const Soup validation = entry.GetNamedSoup(kTagValidation);
  if (!validation.IsNull()) {
    ForEachChild(validation.GetRoot().Get(),
                 [&](const Qel::PString& rule, const MPRef<ACSChunk>& node) {
                   const TagRuleFunction function = FindTagRule(rule);
                   if (function == nullptr) return;
                   facts.rules.push_back(function);
                   Soup parameters;
                   if (node && node->GetKind() == kKindContainer)
                     parameters = Soup::FromChunk(node);
                   facts.ruleParameters.push_back(parameters);
                 });
  }
  return facts;
}

const DefinitionFacts& DefinitionFactsCache::ReadDefinition(const Soup& definition) {
  if (definition.IsNull()) return NoDefinition();
  auto& kept = definitions_[definition.GetRoot().Get()];
  if (kept.facts) {
    recentDefinitions_.Keep(definition.GetRoot().Get(), kept.facts.get());
    return *kept.facts;
  }
  kept.node = definition.GetRoot();
  kept.facts = std::make_unique<DefinitionFacts>();
  DefinitionFacts& facts = *kept.facts;
  facts.subpossibilities = definition.GetNamedSoup(kTagSubpossibilities);
  facts.tagArray = definition.GetNamedSoup(kTagTagarray);
  facts.arrayElement = definition.GetNamedSoup(kTagArrayElement);
  facts.inherit = definition.GetNamedSoup(kTagInherit);
  facts.obsoleteTag = definition.GetNamedSoup(kTagObsoleteTag);
  facts.validation = definition.GetNamedSoup(kTagValidation);
  if (!facts.subpossibilities.IsNull()) {
    ForEachChild(facts.subpossibilities.GetRoot().Get(),
                 [&](const Qel::PString& name, const MPRef<ACSChunk>& node) {
                   facts.entries.children.emplace(name, node);
                   if (!node || node->GetKind() != kKindContainer) return;
                   const EntryFacts& entry = Entry(Soup::FromChunk(node));
                   if (entry.compulsory <= 0.0f) return;
                   (entry.hasElementType ? facts.compulsoryContainers : facts.compulsoryTags)
                       .emplace_back(name, entry.compulsory);
                 });
  }
  if (!facts.validation.IsNull()) {
    ForEachChild(facts.validation.GetRoot().Get(),
                 [&](const Qel::PString& rule, const MPRef<ACSChunk>& node) {
                   const ContainerRuleFunction function = FindContainerRule(rule);
                   if (function == nullptr) return;
                   Soup parameters;
                   if (node && node->GetKind() == kKindContainer)
                     parameters = Soup::FromChunk(node);
                   facts.containerRules.push_back(function);
                   facts.containerRuleParameters.push_back(parameters);
                 });
  }
  if (!facts.inherit.IsNull()) {
    ForEachChild(facts.inherit.GetRoot().Get(),
                 [&](const Qel::PString& name, const MPRef<ACSChunk>& /*node*/) {
                   facts.inheritNames.push_back(name);
                 });
  }
  return facts;
}

}  // namespace TETLib
