// What the container model reads from a definition, read once per definition node and kept: a
// configuration of thirty tags asks the same definitions the same questions for every tag, and a
// command host asks them again for every asset. Facts are kept only for definitions that do not
// change, the data manager's shared ones; a load that has made its own copy of a definition reads
// the facts of its nodes afresh (see RunDefinitions).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/types.h"
#include "validation/validation_rules.h"

namespace TETLib {

// A container node's children by name: the first child of each name, whatever its kind.
struct NodeFacts {
  std::unordered_map<Qel::PString, MPRef<ACSChunk>> children;

  // As Soup::GetNamedSoup: the first child of the name when it is a container, else empty.
  Soup Container(const Qel::PString& name) const;
};

// An entry of a definition ("subpossibilities" child, "tagarray", a whole definition).
struct EntryFacts {
  Qel::PString kind;
  Qel::PString elementType;
  Qel::PString icon;
  Qel::PString defaultValue;
  Qel::PString filter;
  Qel::PString source;
  Qel::PString dataType;
  Qel::PString category;
  Qel::PString savingName;
  i32 typeCode = 20;
  bool hasElementType = false;
  bool hasContainerType0 = false;
  bool hasMeshAsset = false;
  bool hasCategory = false;
  bool hasFilter = false;
  f32 compulsory = 0.0f;
  i32 compulsoryInt = 0;
  i32 disabled = 0;
  i32 unique = 0;
  i32 sequence = 0;
  i32 numarray = 0;
  // The texts of "container-type0", "container-type1", ... by number, for the numbers below the
  // entry's count of children (empty where missing), and how many are present from 0 on.
  std::vector<Qel::PString> containerTypes;
  u32 containerTypeRun = 0;
  // The rules its "validation" names, with their parameters.
  std::vector<TagRuleFunction> rules;
  std::vector<Soup> ruleParameters;
};

struct BuildPlan;
struct ValidationPlan;
class TagLookup;

// Child containers a container allows, in order: names (the empty name allows any) and their
// definitions.
struct AllowedChildren {
  std::vector<Qel::PString> names;
  std::vector<Soup> definitions;
};

// The facts of no entry (of the empty soup).
const EntryFacts& NoEntryFacts();

// A definition: its parts and what a level matched against it needs.
struct DefinitionFacts {
  Soup subpossibilities;
  Soup tagArray;
  Soup arrayElement;
  Soup inherit;
  Soup obsoleteTag;
  Soup validation;
  NodeFacts entries;  // of "subpossibilities"
  std::vector<Qel::PString> inheritNames;
  // The definitions of inheritNames as the load that reads these facts finds them: looked up
  // once, on the first level matched against the definition.
  mutable std::vector<Soup> inherited;
  mutable bool inheritedLookedUp = false;
  // The plans the cache keeps for the definition, once asked for: reached from the facts that
  // every level reads anyway rather than through the cache's maps.
  mutable const BuildPlan* buildPlan = nullptr;
  mutable const ValidationPlan* validationPlan = nullptr;
  mutable const TagLookup* tagLookup = nullptr;
  // What an element child of this definition allows by its "array-element" (a child of any
  // name for each container type), once looked up; empty when it has none.
  mutable std::unique_ptr<AllowedChildren> elementChildren;
  // The compulsory entries in their order: value tags and containers (those with "element-type").
  std::vector<std::pair<Qel::PString, f32>> compulsoryTags;
  std::vector<std::pair<Qel::PString, f32>> compulsoryContainers;
  // The container rules its own "validation" names, with their parameters.
  std::vector<ContainerRuleFunction> containerRules;
  std::vector<Soup> containerRuleParameters;
};

// What building a container's allowed children makes of a definition and those it inherits.
struct BuildPlan {
  struct Child {
    Qel::PString name;
    Qel::PString definitionName;
    Soup definition;
    bool attach = false;  // a compulsory element: its definition is attached too
  };
  std::vector<Qel::PString> inheritedNames;
  // Reported again at every build: each asset gets its own findings.
  std::vector<Qel::PString> findings;
  std::vector<Child> elements;
  // The compulsory value entries, by name.
  std::vector<std::pair<Qel::PString, Soup>> values;
  Soup arrayElement;  // empty when there is none
  std::vector<Child> tagArrays;
  // The allowed children that elements and tag arrays give a container that allows none yet, in
  // order, a name once: shared by every such container rather than copied into each.
  AllowedChildren allowed;
};

// The "validation" entries a definition inherits, merged in order.
struct ValidationPlan {
  std::vector<Qel::PString> findings;
  std::vector<std::pair<Qel::PString, MPRef<ACSChunk>>> entries;
};

// Where the value tags of a level matched against a definition find their definitions: the
// definition's own entries, then each inherited definition's entries and its tag array (the
// first tag array ends the search), then the definition's own tag array. Merged into one table,
// each definition with its facts: a level looks up every one of its tags here.
class TagLookup {
 public:
  struct Found {
    Soup definition;
    const EntryFacts* facts = nullptr;
  };

  // The first of a name stays.
  void Add(const Qel::PString& name, const Soup& definition, const EntryFacts& facts);
  void SetFallback(const Soup& definition, const EntryFacts& facts) {
    fallback_ = {definition, &facts};
  }
  // The entry of the name, else the fallback (the empty soup, with the facts of none, when it
  // was never set).
  const Found& Find(const Qel::PString& name) const {
    if (count_ == 0) return fallback_;
    if (name.IsEmpty()) return hasEmptyName_ ? emptyName_ : fallback_;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(name); ; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.name == name) return slot.found;
      if (slot.name.IsEmpty()) return fallback_;
    }
  }
  size_t Size() const { return count_ + (hasEmptyName_ ? 1 : 0); }

 private:
  struct Slot {
    Qel::PString name;  // empty: a free slot
    Found found;
  };
  size_t Home(const Qel::PString& name) const {
    return size_t((u64(name.Hash()) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void Grow();

  // Open addressing, at most half full; the empty name is kept apart.
  std::vector<Slot> slots_;
  u32 shift_ = 64;
  size_t count_ = 0;
  bool hasEmptyName_ = false;
  Found emptyName_;
  Found fallback_{Soup(), &NoEntryFacts()};
};

// The facts of nodes, each read on first asking. Holds every node it has facts of, so that no
// address it keys by can be reused while it is kept.
class DefinitionFactsCache {
 public:
  // Each answers from its recent slots without a call when it can.
  const NodeFacts& Node(const ACSChunk* node) {
    const NodeFacts* recent = recentNodes_.Find(node);
    return recent != nullptr ? *recent : ReadNode(node);
  }
  const EntryFacts& Entry(const Soup& entry) {
    const EntryFacts* recent = recentEntries_.Find(entry.GetRoot().Get());
    return recent != nullptr ? *recent : ReadEntry(entry);
  }
  const DefinitionFacts& Definition(const Soup& definition) {
    const DefinitionFacts* recent = recentDefinitions_.Find(definition.GetRoot().Get());
    return recent != nullptr ? *recent : ReadDefinition(definition);
  }
  // The plan kept for a definition, or null; StorePlan keeps one and gives it back.
  const BuildPlan* FindPlan(const Soup& definition) const;
  const BuildPlan& StorePlan(const Soup& definition, std::unique_ptr<BuildPlan> plan);
  const TagLookup* FindTagLookup(const Soup& definition) const;
  const TagLookup& StoreTagLookup(const Soup& definition, std::unique_ptr<TagLookup> lookup);
  const ValidationPlan* FindValidationPlan(const Soup& definition) const;
  const ValidationPlan& StoreValidationPlan(const Soup& definition,
                                            std::unique_ptr<ValidationPlan> plan);
  // Forgets every fact. Facts already handed out stay readable until the cache goes: a caller
  // may hold them across a change, and reads them as they were.
  void Clear();

  // The type code of a definition's "type" text (20 when it names no type).
  static i32 TypeCode(const Qel::PString& type);

 private:
  const NodeFacts& ReadNode(const ACSChunk* node);
  const EntryFacts& ReadEntry(const Soup& entry);
  const DefinitionFacts& ReadDefinition(const Soup& definition);

  template <class Facts>
  struct Kept {
    MPRef<ACSChunk> node;
    std::unique_ptr<Facts> facts;
  };
  std::unordered_map<const ACSChunk*, Kept<NodeFacts>> nodes_;
  std::unordered_map<const ACSChunk*, Kept<EntryFacts>> entries_;
  std::unordered_map<const ACSChunk*, Kept<DefinitionFacts>> definitions_;
  std::unordered_map<const ACSChunk*, Kept<BuildPlan>> plans_;
  std::unordered_map<const ACSChunk*, Kept<ValidationPlan>> validationPlans_;
  std::unordered_map<const ACSChunk*, Kept<TagLookup>> tagLookups_;
  std::vector<std::unique_ptr<DefinitionFactsCache>> forgotten_;
  // The facts of recently asked nodes, one slot per address hash: a level asks about the same
  // few dozen entries for every tag, and a slot is far cheaper to reach than the map.
  template <class Facts>
  struct Recent {
    struct Slot {
      const ACSChunk* node = nullptr;
      const Facts* facts = nullptr;
    };
    static constexpr size_t kSlotBits = 8;
    std::array<Slot, size_t(1) << kSlotBits> slots{};

    static size_t Index(const ACSChunk* node) {
      // Fibonacci hashing: the top bits of the product mix every bit of the address.
      const uint64_t at = reinterpret_cast<uintptr_t>(node);
      return size_t((at * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }
    const Facts* Find(const ACSChunk* node) const {
      const Slot& slot = slots[Index(node)];
      return slot.node == node ? slot.facts : nullptr;
    }
    void Keep(const ACSChunk* node, const Facts* facts) { slots[Index(node)] = {node, facts}; }
  };
  Recent<NodeFacts> recentNodes_;
  Recent<EntryFacts> recentEntries_;
  Recent<DefinitionFacts> recentDefinitions_;
};

}  // namespace TETLib
