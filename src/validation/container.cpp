#include "validation/container.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string_view>

#include "assetdata/interface_text.h"
#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/finding_text.h"
#include "validation/legacy_upgrade.h"
#include "validation/node_arena.h"
#include "validation/tag_vocabulary.h"
#include "validation/texture_check.h"

namespace TETLib {

namespace {

std::atomic<i64> g_liveContainers{0};

const Qel::PString kKeyObsoleteAsset("$tet_obsolete_asset");
const Qel::PString kKeyNoKindTag("$tet_container_nokindtag");
const Qel::PString kKeyNoKindSpecification("$tet_container_nokindspecification");
const Qel::PString kKeyAlias("$tet_container_alias");
const Qel::PString kKeyNotBoolean("$tet_container_notboolean");
const Qel::PString kCategoryRegionPrefix("category-region-");
const Qel::PString kCategoryEraPrefix("category-era-");

// The localised text of a key without parameters.
Qel::PString Localised(const Qel::PString& key) {
  return InterfaceTextDB::Instance().GetString(key, true);
}

// The personal detail that fills a string tag made without a configuration, or null.
const Qel::PString* PersonalDetail(const Qel::PString& tagName, const PersonalDetails& details) {
  if (tagName == kTagLicense) return &details.license;
  if (tagName == kTagAuthor) return &details.author;
  if (tagName == kTagContactEmail) return &details.email;
  if (tagName == kTagContactWebsite || tagName == kTagWebsite) return &details.website;
  if (tagName == kTagOrganisation) return &details.organisation;
  return nullptr;
}

// The named list of the definition's "source", or null.
const std::vector<Qel::PString>* SourceList(const Soup& tagDefinition) {
  return DataManager::Instance().GetList(tagDefinition.GetNamedTag(kTagSource));
}

// Whether a list box value (items separated by ';') has an item in the list.
bool ListBoxValueInList(std::string_view value, const std::vector<Qel::PString>* list);

// Whether the list holds the text, ignoring ASCII case.
bool InList(std::string_view text, const std::vector<Qel::PString>& list) {
  return DataManager::Instance().ListHolds(list, text);
}

bool InList(const Qel::PString& value, const std::vector<Qel::PString>* list) {
  return list != nullptr && InList(value.View(), *list);
}

bool InList(const TagValue& value, const std::vector<Qel::PString>* list) {
  return list != nullptr &&
         value.WithView([&](std::string_view text) { return InList(text, *list); });
}

bool InList(const Qel::PString& value, const Soup& tagDefinition) {
  return InList(value, SourceList(tagDefinition));
}

template <class T>
void DeleteAll(std::vector<T*>& list) {
  std::vector<T*> doomed;
  doomed.swap(list);
  for (T* item : doomed) delete item;
}

}  // namespace

Container::Container() { ++g_liveContainers; }

Container::Container(const Qel::PString& name, Container* parent,
                     const Qel::PString& definitionName, i32 siblingIndex)
    : siblingIndex_(siblingIndex), name_(name), definitionName_(definitionName), parent_(parent) {
  ++g_liveContainers;
  if (parent != nullptr) definitions_ = &parent->Definitions();
}

Container::~Container() {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->RemoveContainerRecord(this);
  const bool manager = DataManager::Exists();
  if (manager) {
    DataManager::Instance().RemoveMeshOf(this);
    DataManager::Instance().OnLoadedObjectsChanged();
    DataManager::Instance().OnSharedObjectsChanged();
  }
  {
    // The tree a load made goes whole with its root: its tags and containers leave the data
    // manager's lists in one sweep below rather than one list walk each.
    std::optional<NodeArena::Release> release;
    if (arena_ != nullptr) release.emplace(*arena_);
    DeleteAll(tags_);
    DeleteAll(headerTags_);
    DeleteAll(extraTags_);
    // Out of the list first: each child takes itself out of children_ as it goes.
    DeleteAll(children_);
  }
  if (parent_ != nullptr) {
    std::erase(parent_->children_, this);
  }
  if (manager) {
    DataManager& data = DataManager::Instance();
    if (arena_ != nullptr) data.UnregisterAllIn(*arena_);
    if (data.MayBeListed(this) && !NodeArena::IsReleasing(this)) data.Unregister(this);
    if (parent_ == nullptr) {
      data.PurgeResources();
      data.ClearNamedRegistry(kTagMeshTable);
      data.ClearNamedRegistry(kTagAttachedTrack);
      data.ClearNamedRegistry(kTagQueues);
    }
  }
  --g_liveContainers;
}

void* Container::operator new(size_t size) { return AllocateNode(size); }

void Container::operator delete(void* memory) noexcept { FreeNode(memory); }

i64 Container::LiveCount() { return g_liveContainers.load(); }

RunDefinitions& Container::MakeOwnDefinitions() {
  ownDefinitions_ = std::make_unique<RunDefinitions>(DataManager::Instance().GetDefinitions());
  definitions_ = ownDefinitions_.get();
  return *definitions_;
}

bool Container::Load(Soup config) {
  // Everything this load makes belongs to this tree and goes with it.
  if (arena_ == nullptr) arena_ = std::make_unique<NodeArena>();
  const NodeArena::Scope arenaScope(*arena_);
  DataManager& manager = DataManager::Instance();
  const f32 build = config.GetNamedTagAsFloat(kTagKestroBuild, 1.3f) + 0.001f;
  manager.SetBuildNumber(build);
  if (WholeBuild(build) < 270) {
    Qel::AnsiString text(Localised(kKeyObsoleteAsset).View());
    ReplaceMacro(text, "LOWEST_KESTROBUILD", "2.7");
    AddWarningFinding(text.ToPString());
  }

  UpgradeConfig(config);

  const Qel::PString kind = config.GetNamedTag(kTagKind);
  if (kind.IsEmpty()) {
    AddErrorFinding(Localised(kKeyNoKindTag));
    return false;
  }
  Qel::PString definitionName = kind;
  if (kind == kTagBridge) {
    const f32 height = config.GetNamedTagAsFloat(kTagHeight, 0.0f);
    if (height >= -0.001f) definitionName = height <= 0.001f ? kTagDoubleTrack : kTagTunnel;
  } else if (kind == kTagTrack) {
    if (Platform::SaturatingCast<i32>(build * 100.0f) < 290) {
      if (config.HasNamedTag(kTagChunkyMesh)) {
        definitionName = kTagChunkyTrack;
      } else if (config.HasNamedTag(kTagUnitMesh)) {
        definitionName = kTagMeshReducingTrack;
      } else {
        definitionName = kTagObsoleteTrack;
      }
    }
  } else if (kind == kTagScenery && config.HasNamedTag(kTagTrackside)) {
    definitionName = kTagSceneryTrackside;
  }

  // Every load starts from the definitions as read: what an earlier asset's load changed was its
  // own copy.
  const Soup kindDefinition = GetKindDefinition(definitionName);
  // The tags of an earlier load of this root refer to the facts of its view: kept with the tree.
  if (ownDefinitions_ != nullptr) retiredDefinitions_.push_back(std::move(ownDefinitions_));
  ownDefinitions_ = std::make_unique<RunDefinitions>(manager.GetDefinitions());
  definitions_ = ownDefinitions_.get();
  const Soup definition = definitions_->Resolve(kindDefinition);
  if (definition.IsNull()) {
    AddErrorFinding(Localised(kKeyNoKindSpecification));
    return false;
  }

  configSoup_ = config;
  definitionsRoot_ = manager.GetDefinitions();
  parent_ = nullptr;
  siblingIndex_ = 0;
  name_ = definitionName;
  definitionName_ = definitionName;
  isTopLevel_ = true;

  BuildChildren(definition, true);
  AttachContainerRules(definition, this);

  if (config.HasNamedTag(kTagAlias)) {
    manager.SetUsesMeshAsset();
    AddWarningFinding(Localised(kKeyAlias));
  }
  return LoadFromDefinition(config, definition, this);
}

void Container::AddTag(Tag* tag) {
  // The lengths first: most names are neither.
  static const size_t kuidLength = kTagKuid.Length();
  static const size_t usernameLength = kTagUsername.Length();
  const std::string_view name = tag->name.View();
  const char first = name.empty() ? '\0' : char(name.front() | 0x20);
  if ((first == 'k' && name.size() == kuidLength && tag->name.EqualsIgnoreCase(kTagKuid)) ||
      (first == 'u' && name.size() == usernameLength && tag->name.EqualsIgnoreCase(kTagUsername))) {
    // "kuid" and "username": one allocation for both.
    if (headerTags_.capacity() == 0) headerTags_.reserve(2);
    headerTags_.push_back(tag);
  } else {
    // A level holds a dozen tags or so: one allocation instead of a run of regrowths.
    if (tags_.capacity() == 0) tags_.reserve(16);
    tags_.push_back(tag);
    if (tags_.size() > kLinearTagSearch) IndexTagNames();
  }
}

void Container::IndexTagNames() {
  if (tags_.size() <= kLinearTagSearch) return;
  if (tagNames_.empty()) {
    for (const Tag* tag : tags_) tagNames_.insert(tag->name);
  } else {
    tagNames_.insert(tags_.back()->name);
  }
}

bool Container::HasTagNamed(const Qel::PString& tagName) const {
  if (tags_.size() > kLinearTagSearch) return tagNames_.count(tagName) != 0;
  return std::any_of(tags_.begin(), tags_.end(),
                     [&](const Tag* tag) { return tag->name == tagName; });
}

void Container::RemoveTag(const Qel::PString& tagName) {
  const auto found = std::find_if(extraTags_.begin(), extraTags_.end(),
                                  [&](const Tag* tag) { return tag->name == tagName; });
  if (found == extraTags_.end()) return;
  Tag* doomed = *found;
  extraTags_.erase(found);
  delete doomed;
}

void Container::AddChildContainer(std::unique_ptr<Container> child) {
  // Most containers with children have a few: one allocation for them.
  if (children_.capacity() == 0) children_.reserve(4);
  children_.push_back(child.release());
}

void Container::MoveHeadTagsFirst() {
  if (headerTags_.empty()) return;
  tags_.insert(tags_.begin(), headerTags_.begin(), headerTags_.end());
  headerTags_.clear();
  tagNames_.clear();
  IndexTagNames();
}

bool Container::RunContainerRules() {
  bool passed = true;
  if (sharedRules_ != nullptr) {
    for (size_t i = 0; i < sharedRules_->containerRules.size(); ++i) {
      Soup parameters = sharedRules_->containerRuleParameters[i];
      if (!sharedRules_->containerRules[i](this, &parameters)) passed = false;
    }
    return passed;
  }
  for (size_t i = 0; i < ruleFunctions_.size(); ++i) {
    if (!ruleFunctions_[i](this, &ruleParameters_[i])) passed = false;
  }
  return passed;
}

void Container::OwnRules() {
  if (sharedRules_ == nullptr) return;
  ruleFunctions_ = sharedRules_->containerRules;
  ruleParameters_ = sharedRules_->containerRuleParameters;
  sharedRules_ = nullptr;
}

void Container::AttachContainerRules(const Soup& definition, Container* owner) {
  const DefinitionFacts& facts = Definitions().Facts().Definition(definition);
  Soup validation = facts.validation;
  // Kept with the facts of a definition, not with those of none, which every cache shares.
  const ValidationPlan& inherited = facts.validationPlan != nullptr
                                        ? *facts.validationPlan
                                        : PlanInheritedValidation(definition, Definitions());
  if (!definition.IsNull()) facts.validationPlan = &inherited;
  for (const Qel::PString& finding : inherited.findings) AddErrorFinding(finding);
  if (inherited.entries.empty()) {
    // Only the definition's own rules: an owner that has none yet takes its facts' list as it is.
    if (facts.containerRules.empty()) return;
    if (owner->sharedRules_ == nullptr && owner->ruleFunctions_.empty()) {
      owner->sharedRules_ = &facts;
      return;
    }
    owner->OwnRules();
    owner->ruleFunctions_.insert(owner->ruleFunctions_.end(), facts.containerRules.begin(),
                                 facts.containerRules.end());
    owner->ruleParameters_.insert(owner->ruleParameters_.end(),
                                  facts.containerRuleParameters.begin(),
                                  facts.containerRuleParameters.end());
    return;
  }
  owner->OwnRules();
  {
    if (validation.IsNull()) {
      // Nothing of the definition's own to merge into: a soup of this load alone.
      validation.EnsureContainer();
    } else {
      // The merge writes into the definition: this load's copy of it.
      validation = Definitions().Writable(definition).GetNamedSoup(kTagValidation);
    }
    for (const auto& [rule, node] : inherited.entries) {
      validation.RemoveNamedTag(rule);
      validation.GetRoot()->AddChild(rule, node);
    }
  }
  if (validation.IsNull()) return;
  ForEachChild(validation.GetRoot().Get(),
               [&](const Qel::PString& rule, const MPRef<ACSChunk>& node) {
                 const ContainerRuleFunction function = FindContainerRule(rule);
                 if (function == nullptr) return;
                 Soup parameters;
                 if (node && node->GetKind() == kKindContainer) parameters = Soup::FromChunk(node);
                 owner->ruleFunctions_.push_back(function);
                 owner->ruleParameters_.push_back(parameters);
               });
}

Tag* Container::CreateTag(i32 index, Container* owner, const Qel::PString& tagName) {
  return new Tag(index, owner, tagName);
}

Tag* Container::MakeTag(Container* target, const Qel::PString& tagName, const Soup& tagDefinition,
                        const Soup* config, const ACSChunk* valueNode) {
  return MakeTagOf(target, tagName, tagDefinition, Definitions().Facts().Entry(tagDefinition),
                   config, valueNode);
}

Tag* Container::MakeTagOf(Container* target, const Qel::PString& tagName, const Soup& tagDefinition,
                          const EntryFacts& facts, const Soup* config, const ACSChunk* valueNode) {
  if (target->HasTagNamed(tagName)) return nullptr;
  std::unique_ptr<Tag> tag(CreateTag(i32(target->tags_.size()), target, tagName));
  if (config != nullptr) {
    if (valueNode != nullptr) {
      tag->value.SetNode(valueNode);
    } else {
      tag->value = config->GetNamedTag(tagName);
    }
  }
  if (tag->value.IsEmpty()) {
    tag->value = facts.defaultValue == kTagParent ? target->name_ : facts.defaultValue;
  }
  if (facts.compulsory == 0.0f && config != nullptr) target->RemoveTag(tagName);
  // ConfigureTag reads the same facts: handed over rather than looked up again.
  configuringFacts_ = {tagDefinition.GetRoot().Get(), &facts};
  ConfigureTag(tag.get(), tagDefinition, config != nullptr, target);
  configuringFacts_ = {};
  // The rules the definition's "validation" names, kept with its other facts for longer than the
  // tree lives (see DefinitionFactsCache::Clear and Load).
  tag->ShareRules(facts.rules, facts.ruleParameters);
  return tag.release();
}

bool Container::ConfigureTag(Tag* tag, const Soup& tagDefinition, bool fromConfig,
                             Container* owner) {
  DataManager& manager = DataManager::Instance();
  const EntryFacts& facts =
      configuringFacts_.facts != nullptr && configuringFacts_.node == tagDefinition.GetRoot().Get()
          ? *configuringFacts_.facts
          : Definitions().Facts().Entry(tagDefinition);
  tag->definitionSoup = tagDefinition;
  tag->typeCode = facts.typeCode;
  const bool disabled = facts.disabled != 0;
  switch (tag->typeCode) {
    case kTagTypeFloat:
    case kTagTypeInt:
      if (disabled) tag->disabled = true;
      return true;
    case kTagTypeString:
      if (!fromConfig) {
        if (const Qel::PString* detail = PersonalDetail(tag->name, manager.GetPersonalDetails())) {
          tag->value = *detail;
        }
      }
      if (disabled) tag->disabled = true;
      tag->filter = facts.filter;
      return true;
    case kTagTypeBool:
      if (tag->value.IsSet() && tag->value.WithView([](std::string_view text) {
            return text != kTagZero.View() && text != kTagOne.View();
          })) {
        AddWarningFinding(LocalisedFinding(kKeyNotBoolean, tag->name, owner->name_), tag);
      }
      return true;
    case kTagTypeComboBox: {
      const Qel::PString& source = facts.source;
      if (source == kTagAttachment) {
        if (facts.unique != 0) {
          manager.AddSharedObject(tag);
        } else {
          manager.AddLoadedObject(tag);
        }
      } else if (source == kTagMeshTable || source == kTagAttachedTrack || source == kTagQueues) {
        manager.RegisterByKey(source, tag, tag->value);
      } else {
        if (tag->value.IsSet() && !InList(tag->value, manager.GetList(source))) {
          tag->value = Qel::PString();
        }
        return true;
      }
      tag->source = source;
      tag->hasSource = true;
      return true;
    }
    // The lists named by the definition's "source", as its facts hold it.
    case kTagTypeIntComboBox:
      if (tag->value.IsSet() && !InList(tag->value, manager.GetList(facts.source))) {
        tag->value = Qel::PString();
      }
      return true;
    case kTagTypeListBox:
      if (tag->value.IsSet() && !tag->value.WithView([&](std::string_view text) {
            return ListBoxValueInList(text, manager.GetList(facts.source));
          })) {
        tag->value = Qel::PString();
      }
      return true;
    case kTagTypeDoubleString:
    case kTagTypeStringKUID:
    case kTagTypeStringKUIDBrowser:
      return false;
    case kTagTypeKUID:
      if (tag->value.IsEmpty()) tag->value = KUID::Null().ToString();
      return true;
    case kTagTypeFilePath:
    case kTagTypeFilePathEdit:
      tag->dataType = facts.dataType;
      tag->isFile = true;
      // The mesh or animation a file field names is loaded now; an asset whose meshes live in
      // another asset is only marked.
      if (tag->name == kTagScript) return true;
      if (fromConfig && facts.hasMeshAsset) {
        manager.SetUsesMeshAsset();
      } else if (tag->value.IsSet()) {
        // Images and the like are passed over before their name is made.
        owner->loadedMesh_ = tag->value.WithView(DataManager::IsMeshFileName)
                                 ? manager.LoadMeshFile(tag->value.Lower(), owner)
                                 : nullptr;
      }
      return true;
    case kTagTypeKUIDBrowser:
      if (facts.hasCategory) tag->category = facts.category;
      if (facts.hasFilter) tag->filter = facts.filter;
      return true;
    case kTagTypeVector2:
    case kTagTypeVector3:
    case kTagTypeVector4:
    case kTagTypeVector5:
    case kTagTypeFloatList:
      return true;
    default:
      break;
  }
  // No type this model knows: a comment of an old asset, an obsolete tag or an unknown one.
  tag->typeCode = kTagTypeUndefined;
  const bool comment = tag->name == kTagBang || tag->name == kTagRem || tag->name == kTagSemicolon;
  if (comment && !BuildReached(2.5f)) return true;
  const bool obsolete = std::find(obsoleteTagNames_.begin(), obsoleteTagNames_.end(), tag->name) !=
                            obsoleteTagNames_.end() ||
                        StartsWith(tag->name, kCategoryRegionPrefix) ||
                        StartsWith(tag->name, kCategoryEraPrefix);
  if (obsolete) {
    const Qel::PString text = LocalisedFinding(kKeyObsoleteTag, tag->name, owner->name_);
    if (Platform::SaturatingCast<i32>(manager.GetBuildNumber() * 100.0f) < 290) {
      AddWarningFinding(text, tag);
    } else {
      AddErrorFinding(text, tag);
    }
  } else {
    AddErrorFinding(LocalisedFinding(kKeyNoDefinition, tag->name, owner->name_), tag);
  }
  return true;
}

void Container::RegisterAllowedChild(const Qel::PString& childName,
                                     const Qel::PString& definitionName) {
  AllowChild(childName, GetDefinition(definitionName));
}

void Container::OwnAllowedChildren() {
  if (sharedAllowed_ == nullptr) return;
  allowedChildNames_ = sharedAllowed_->names;
  allowedChildDefinitions_ = sharedAllowed_->definitions;
  sharedAllowed_ = nullptr;
}

void Container::AllowChildren(const AllowedChildren& children) {
  if (children.names.empty()) return;
  if (sharedAllowed_ == nullptr && allowedChildNames_.empty()) {
    sharedAllowed_ = &children;
    return;
  }
  for (size_t i = 0; i < children.names.size(); ++i) {
    AllowChild(children.names[i], children.definitions[i]);
  }
}

void Container::AllowChild(const Qel::PString& childName, const Soup& definition) {
  OwnAllowedChildren();
  if (childName.IsSet() && std::find(allowedChildNames_.begin(), allowedChildNames_.end(),
                                     childName) != allowedChildNames_.end()) {
    return;
  }
  // A level allows a few children: one allocation each for their names and definitions.
  if (allowedChildNames_.capacity() == 0) {
    allowedChildNames_.reserve(4);
    allowedChildDefinitions_.reserve(4);
  }
  allowedChildNames_.push_back(childName);
  allowedChildDefinitions_.push_back(definition);
}

void Container::AttachDefinition(const Qel::PString& definitionName) {
  attachedDefinitions_.insert(attachedDefinitions_.begin(), GetDefinition(definitionName));
}

bool IsComboBoxValueInSource(const Qel::PString& value, const Soup& tagDefinition) {
  return InList(value, tagDefinition);
}

bool IsIntComboBoxValueInSource(const Qel::PString& value, const Soup& tagDefinition) {
  return InList(value, tagDefinition);
}

bool IsListBoxValueInSource(const Qel::PString& value, const Soup& tagDefinition) {
  return ListBoxValueInList(value.View(), SourceList(tagDefinition));
}

namespace {

bool ListBoxValueInList(std::string_view value, const std::vector<Qel::PString>* list) {
  if (list == nullptr) return false;
  std::string_view rest = value;
  while (true) {
    const size_t end = rest.find(';');
    const std::string_view item = rest.substr(0, end);
    if (!item.empty() && InList(item, *list)) return true;
    if (end == std::string_view::npos) return false;
    rest.remove_prefix(end + 1);
  }
}

}  // namespace

}  // namespace TETLib
