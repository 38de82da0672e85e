// One node of an asset configuration matched against its definition. The top-level container
// stands for the whole configuration soup and is matched against the definition of the asset's
// kind; each sub-container of the configuration becomes a child container and each value tag a
// Tag owned by its container. The tree owns its children and tags; the configuration and the
// definitions are counted soup handles, shared with whoever else holds them.
//
// Used under the validation lock only, like the error handler and the data manager it reports to.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/types.h"
#include "validation/run_definitions.h"
#include "validation/tag.h"
#include "validation/validation_rules.h"

namespace TETLib {

class InheritWalk;
class MeshData;
class NodeArena;
struct EntryFacts;
struct MergedEntries;

// Compulsory entries of a level, name to the build from which each is required: set from the
// definitions, taken out as the configuration names them. A level has a handful.
class CompulsoryEntries {
 public:
  CompulsoryEntries() = default;
  // Inline: every level makes two, and most hold nothing.
  ~CompulsoryEntries() {
    if (count_ != 0 && spilled_.empty()) EndInline();
  }
  CompulsoryEntries(const CompulsoryEntries&) = delete;
  CompulsoryEntries& operator=(const CompulsoryEntries&) = delete;

  // A later set of a name replaces its build.
  void Set(const Qel::PString& name, f32 build);
  // Inline: a level erases every name it meets, and most levels hold none.
  void Erase(const Qel::PString& name) {
    if (count_ != 0) EraseHeld(name);
  }
  // What is left, ordered by name.
  std::vector<std::pair<Qel::PString, f32>> Sorted() const;

 private:
  using Entry = std::pair<Qel::PString, f32>;
  // Held in the object itself up to this many, as every level of a load makes two and most
  // levels name none or a handful; more go to the heap, all of them together.
  static constexpr u32 kInline = 8;
  void EraseHeld(const Qel::PString& name);
  void EndInline();
  Entry* Data() { return spilled_.empty() ? reinterpret_cast<Entry*>(inline_) : spilled_.data(); }
  const Entry* Data() const {
    return spilled_.empty() ? reinterpret_cast<const Entry*>(inline_) : spilled_.data();
  }

  // Of inline_ only the first count_ are made while nothing is spilled.
  alignas(Entry) std::byte inline_[kInline * sizeof(Entry)];
  u32 count_ = 0;
  std::vector<Entry> spilled_;
};

class Container {
 public:
  Container();
  // A child of parent (not yet in its list) matched against definitionName.
  Container(const Qel::PString& name, Container* parent, const Qel::PString& definitionName,
            i32 siblingIndex);
  // Takes its first finding out of the error handler and itself out of its parent's list and of
  // every list of the data manager; deletes its tags and children (taken out of the list first,
  // so a child leaving its parent never changes a list that is being walked). A top-level
  // container also purges the engine's resources and empties the name registry's lists
  // "mesh-table", "attached-track" and "queues".
  virtual ~Container();
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;

  // From the arena of the load that makes the container, else from the heap (see NodeArena).
  static void* operator new(size_t size);
  static void operator delete(void* memory) noexcept;

  // The top-level load of a configuration: build number, kind, definition, tree. False, with an
  // error finding, when the kind is missing or unknown or a child container could not be built.
  virtual bool Load(Soup config);
  // Writes the tree into out, each tag through the writer of its type (which tests it and runs
  // its rules) and each child as a sub-soup followed by the child's rules; this container's own
  // rules are the caller's. True when every writer, child export and child rule passed.
  virtual bool Export(Soup& out);

  // Builds the allowed-children lists and the compulsory default tags from the definition and the
  // definitions it inherits.
  virtual void BuildChildren(const Soup& definition, bool flag);
  // Takes the tag over: "kuid" and "username" (any case) go to the head tags, others to tags.
  virtual void AddTag(Tag* tag);
  // The definition of that name, as this load sees it; the empty soup when there is none.
  virtual Soup GetDefinition(const Qel::PString& definitionName);
  // Matches one level of the configuration against its definition, making the target's tags and
  // child containers and recursing into them. Called on the root of the load.
  virtual bool LoadFromDefinition(const Soup& config, const Soup& definition, Container* target);
  // Deletes the first extra tag of that name.
  virtual void RemoveTag(const Qel::PString& name);
  // Gives the tag its definition, type code and per-type state; false for the types that name
  // and value pairs have.
  virtual bool ConfigureTag(Tag* tag, const Soup& tagDefinition, bool fromConfig, Container* owner);
  virtual bool FindChildDefinition(const Soup& definition, const Qel::PString& tagName,
                                   Container* target, Soup& out);
  // The definition name of a polymorphic entry for a configuration kind.
  virtual Qel::PString SelectContainerType(const Soup& definition, const Qel::PString& kind);
  virtual void CollectCompulsoryTags(const Soup& definition, CompulsoryEntries& map);
  virtual void CollectCompulsoryContainers(const Soup& definition, CompulsoryEntries& map);
  // Obsolete entries of the definition: names for assets of their build and later, allowed
  // entries for older ones. A definition it changes becomes this load's own copy (the handle is
  // updated to it).
  virtual void ApplyObsoleteTags(Soup& definition);
  virtual void AttachContainerRules(const Soup& definition, Container* owner);
  virtual Soup FindAllowedChildDefinition(const Soup& definition, const Qel::PString& childName);
  virtual Tag* CreateTag(i32 index, Container* owner, const Qel::PString& name);
  // A new configured tag of target, with the rules its definition names, or null when target's tags already hold one of that name.
  // The value is config's text of the name (or valueNode's text when given), else the
  // definition's default. The caller owns the tag.
  virtual Tag* MakeTag(Container* target, const Qel::PString& tagName, const Soup& tagDefinition,
                       const Soup* config, const ACSChunk* valueNode = nullptr);
  // A new child of parent, not yet in its list: null, with an error for the parent, when the
  // definition does not exist.
  virtual std::unique_ptr<Container> CreateChildContainer(const Qel::PString& tagName,
                                                          Container* parent,
                                                          const Qel::PString& definitionName,
                                                          i32 index, const Soup& config);

  bool RunContainerRules();
  void AddChildContainer(std::unique_ptr<Container> child);
  void MoveHeadTagsFirst();
  Soup FindTagDefinition(const Qel::PString& tagName, const Soup& definition,
                         const std::vector<Soup>& inherited);
  // Merges the definitions that inherit names (their own inherited ones first) into the working
  // entries. A definition met again on its own inheritance path is a cycle: it is reported once
  // and not followed; one met again through another path is merged once.
  void MergeInheritedDefinitions(MergedEntries& merged, const Soup& inherit);
  // Appends an allowed child and its definition; a name already allowed (other than the empty
  // name) is not added again.
  void RegisterAllowedChild(const Qel::PString& childName, const Qel::PString& definitionName);
  // The definition becomes the first of the attached definitions.
  void AttachDefinition(const Qel::PString& definitionName);

  // The configuration this container stands for (a counted copy).
  Soup GetSoup() const { return configSoup_; }
  const Qel::PString& GetName() const { return name_; }
  const Qel::PString& GetDefinitionName() const { return definitionName_; }
  const Qel::PString& GetSavingName() const { return savingName_; }
  i32 GetSiblingIndex() const { return siblingIndex_; }
  Container* GetParent() const { return parent_; }
  bool IsTopLevel() const { return isTopLevel_; }
  const std::vector<Container*>& GetChildren() const { return children_; }
  const std::vector<Tag*>& GetTags() const { return tags_; }
  const std::vector<Tag*>& GetHeaderTags() const { return headerTags_; }
  const std::vector<Tag*>& GetExtraTags() const { return extraTags_; }
  const std::vector<Qel::PString>& GetObsoleteTagNames() const { return obsoleteTagNames_; }
  const std::vector<Qel::PString>& GetAllowedChildNames() const {
    return sharedAllowed_ != nullptr ? sharedAllowed_->names : allowedChildNames_;
  }
  const std::vector<Soup>& GetAllowedChildDefinitions() const {
    return sharedAllowed_ != nullptr ? sharedAllowed_->definitions : allowedChildDefinitions_;
  }
  const std::vector<Soup>& GetAttachedDefinitions() const { return attachedDefinitions_; }
  const std::vector<Qel::PString>& GetInheritedDefinitionNames() const {
    return sharedInheritedNames_ != nullptr ? *sharedInheritedNames_ : inheritedDefinitionNames_;
  }
  const Soup& GetArrayElementDefinition() const { return arrayElementDefinition_; }
  const Soup& GetTagArrayDefinition() const { return tagArrayDefinition_; }
  size_t GetRuleCount() const {
    return sharedRules_ != nullptr ? sharedRules_->containerRules.size() : ruleFunctions_.size();
  }
  // The definitions as this tree's load sees them.
  RunDefinitions& Definitions() {
    return definitions_ != nullptr ? *definitions_ : MakeOwnDefinitions();
  }

  // The mesh that a file field of this container loaded last, or null; the data manager owns it.
  MeshData* GetLoadedMesh() const { return loadedMesh_; }

  // Containers alive in the process.
  static i64 LiveCount();

 private:
  void MergeInherited(MergedEntries& merged, const Soup& inherit, InheritWalk& walk);
  const BuildPlan& PlanChildren(const Soup& definition);
  void AllowChild(const Qel::PString& childName, const Soup& definition);
  bool LoadContainerTag(const Qel::PString& tagName, const Soup& childConfig, const Soup& config,
                        const Soup& definition, const std::vector<Soup>& inherited,
                        Container* target,
                        CompulsoryEntries& compulsoryContainers, i32& childCounter);
  // FindTagDefinition for every name of a level at once, kept per definition.
  const TagLookup& LevelTagLookup(const Soup& definition, const std::vector<Soup>& inherited);
  void LoadValueTag(const Qel::PString& tagName, const ACSChunk* node, const Soup& config,
                    const TagLookup& level, Container* target, CompulsoryEntries& compulsoryTags);
  void ReportMissingEntries(const Soup& config, const Soup& definition,
                            const std::vector<Soup>& inherited, Container* target,
                            const CompulsoryEntries& compulsoryTags,
                            const CompulsoryEntries& compulsoryContainers);
  // CreateChildContainer for a definition its caller has looked up already.
  std::unique_ptr<Container> MakeChild(const Qel::PString& tagName, Container* parent,
                                       const Qel::PString& definitionName, const Soup& definition,
                                       i32 index, const Soup& config);
  // MakeTag for a definition whose facts its caller holds.
  Tag* MakeTagOf(Container* target, const Qel::PString& tagName, const Soup& tagDefinition,
                 const EntryFacts& facts, const Soup* config, const ACSChunk* valueNode);
  bool HasTagNamed(const Qel::PString& tagName) const;
  RunDefinitions& MakeOwnDefinitions();

  i32 siblingIndex_ = -1;
  Qel::PString name_;
  Qel::PString definitionName_;
  Qel::PString savingName_;
  std::vector<Soup> allowedChildDefinitions_;
  // While set, the allowed children are those of a plan or of facts (kept with the definitions'
  // facts for longer than the tree lives) and the two lists above are empty; the first change
  // copies them over.
  const AllowedChildren* sharedAllowed_ = nullptr;
  void OwnAllowedChildren();
  // Allows the children in order, as AllowChild does; a container that allows none yet shares
  // the list.
  void AllowChildren(const AllowedChildren& children);
  std::vector<Soup> attachedDefinitions_;
  std::vector<Container*> children_;
  std::vector<Tag*> tags_;
  std::vector<Tag*> headerTags_;
  std::vector<Tag*> extraTags_;
  std::vector<Qel::PString> obsoleteTagNames_;
  std::vector<Qel::PString> allowedChildNames_;
  std::vector<Qel::PString> inheritedDefinitionNames_;
  // While set, the inherited names are a plan's, and the list above is empty.
  const std::vector<Qel::PString>* sharedInheritedNames_ = nullptr;
  Soup arrayElementDefinition_;
  Soup tagArrayDefinition_;
  Container* parent_ = nullptr;
  Soup configSoup_;
  // A root holds the definitions it was loaded against for as long as its tree lives.
  Soup definitionsRoot_;
  bool isTopLevel_ = false;
  std::vector<ContainerRuleFunction> ruleFunctions_;
  std::vector<Soup> ruleParameters_;
  // While set, the rules are those a definition's facts name (kept for longer than the tree
  // lives), each run with its own copy of its parameters, and the two lists above are empty.
  const DefinitionFacts* sharedRules_ = nullptr;
  void OwnRules();
  // The names of tags_ once there are more than a few, so that a configuration of many tags is
  // matched in linear time.
  static constexpr size_t kLinearTagSearch = 24;
  void IndexTagNames();
  std::unordered_set<Qel::PString> tagNames_;
  // The root's per-load view of the definitions; children share their root's.
  std::unique_ptr<RunDefinitions> ownDefinitions_;
  std::vector<std::unique_ptr<RunDefinitions>> retiredDefinitions_;
  RunDefinitions* definitions_ = nullptr;
  // Nesting of the load below the root, so that no configuration can exhaust the stack.
  u32 loadDepth_ = 0;
  MeshData* loadedMesh_ = nullptr;
  // The facts MakeTag read of the definition it hands to ConfigureTag, while it does.
  struct ConfiguringFacts {
    const ACSChunk* node = nullptr;
    const EntryFacts* facts = nullptr;
  };
  ConfiguringFacts configuringFacts_;
  // A root's memory for the containers and tags its loads make; goes after the tree.
  std::unique_ptr<NodeArena> arena_;
};

// The definition of an asset kind (its name lower-cased), loading the definitions first when
// needed; the empty soup when there is none or it is not marked "top-level".
Soup GetKindDefinition(const Qel::PString& kindName);
// Merges the "validation" entries that the definition inherits into target, the inherited ones'
// own first; an entry replaces one of its name and moves to the end.
void MergeInheritedValidation(Soup& target, const Soup& definition, RunDefinitions& definitions);

// Whether a combo box, integer combo box or list box value is in the named list of the
// definition's "source" (ignoring case; a list box value is items separated by ';').
bool IsComboBoxValueInSource(const Qel::PString& value, const Soup& tagDefinition);
bool IsIntComboBoxValueInSource(const Qel::PString& value, const Soup& tagDefinition);
bool IsListBoxValueInSource(const Qel::PString& value, const Soup& tagDefinition);

}  // namespace TETLib
