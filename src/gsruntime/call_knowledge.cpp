#include "gsruntime/call_knowledge.h"

#include <algorithm>
#include <string_view>

namespace GSRuntime {

namespace {

// The entry of a sorted table of pairs under `key`, or null.
template <typename Key, typename Value>
const std::pair<Key, Value>* Lookup(const std::vector<std::pair<Key, Value>>& table, Key key) {
  const auto found =
      std::lower_bound(table.begin(), table.end(), key,
                       [](const std::pair<Key, Value>& entry, Key k) { return entry.first < k; });
  return found != table.end() && found->first == key ? &*found : nullptr;
}

// Sorts `table` by key, keeping of equal keys the one of the smallest value.
template <typename Key, typename Value>
void SortFirstWins(std::vector<std::pair<Key, Value>>* table) {
  std::sort(table->begin(), table->end());
  table->erase(std::unique(table->begin(), table->end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; }),
               table->end());
}

}  // namespace

CallKnowledge::CallKnowledge(GSLibrary* library) : library_(library) {
  const size_t links = library->classLinks.size();
  tags_.reserve(links);
  names_.reserve(links);
  for (size_t i = 0; i < links; ++i) {
    const GSClass* linked = library->classLinks[i].linkedClass;
    if (linked == nullptr) continue;
    tags_.emplace_back(linked, static_cast<u32>(i + 1));
    names_.emplace_back(*linked->name, static_cast<u32>(i + 1));
  }
  SortFirstWins(&tags_);
  SortFirstWins(&names_);
  for (const auto& cls : library->classes) {
    for (GSFunction& function : cls->functions) function.shape = ShapeOf(function.record);
  }
  // What the functions the library names at each slot agree on, by slot and argument words;
  // the first named decides the argument count.
  std::vector<std::pair<u64, size_t>> named;  // (key, link)
  named.reserve(library->functionLinks.size());
  for (size_t i = 0; i < library->functionLinks.size(); ++i) {
    const GSFunctionLink& link = library->functionLinks[i];
    if (link.slot < 0) continue;
    named.emplace_back(u64(u32(link.slot)) << 32 | link.function->record.header.argumentWords, i);
  }
  std::sort(named.begin(), named.end());
  agreed_.reserve(named.size());
  for (const auto& [key, i] : named) {
    const CallShape& shape = ShapeOfFunction(library->functionLinks[i].function);
    if (agreed_.empty() || agreed_.back().first != key) {
      agreed_.emplace_back(key, &shape);
      continue;
    }
    const CallShape& before = *agreed_.back().second;
    const bool differ =
        before.result != shape.result || before.argumentKinds != shape.argumentKinds;
    if (!differ) continue;
    if (merged_.empty() || agreed_.back().second != &merged_.back()) {
      merged_.push_back(before);
      agreed_.back().second = &merged_.back();
    }
    CallShape& agreed = merged_.back();
    if (agreed.result != shape.result) agreed.result = kEitherResult;
    for (size_t k = 0; k < agreed.argumentKinds.size() && k < shape.argumentKinds.size(); ++k) {
      if (agreed.argumentKinds[k] != shape.argumentKinds[k]) agreed.argumentKinds[k] = kEitherWord;
    }
  }
}

const CallShape& CallKnowledge::ShapeOfFunction(const GSFunction* function) const {
  // Another library's function may not have been verified yet (libraries that include each
  // other link together): its shape comes from its record.
  if (function->library == library_) return function->shape;
  auto [entry, added] = foreign_.try_emplace(function);
  if (added) entry->second = ShapeOf(function->record);
  return entry->second;
}

u32 CallKnowledge::TagOf(const GSClass* cls) const {
  const auto* found = Lookup(tags_, cls);
  return found != nullptr ? found->second : 0;
}

u32 CallKnowledge::TagOf(const GSLibrary* library, i32 reference) const {
  if (library == nullptr || reference < 0 || size_t(reference) >= library->classLinks.size()) {
    return 0;
  }
  return TagOf(library->classLinks[size_t(reference)].linkedClass);
}

void CallKnowledge::Describe(const GSClass& cls, const GSFunction& function,
                             VerifierLimits* limits) {
  limits->callTarget = Find;
  limits->callContext = this;
  if (&cls != describedClass_) DescribeClass(cls);
  limits->ownClass = ownClass_;
  // The parameter types of the signature text, "$int@Holder::Take(Holder,int)": one word each.
  arguments_.clear();
  arguments_.push_back(ownClass_);
  // The walk reads no more than the function's argument words.
  const u32 words = function.record.header.argumentWords;
  const std::string_view signature = words > 1 ? std::string_view(*function.name) : "";
  const size_t open = signature.find('(');
  for (size_t at = open == std::string_view::npos ? signature.size() : open + 1;
       at < signature.size() && arguments_.size() < words;) {
    size_t end = at;
    while (end < signature.size() && signature[end] != ',' && signature[end] != ')') ++end;
    const std::string_view type = signature.substr(at, end - at);
    // Most parameters are of the type the one before was.
    if (!lastType_.has_value() || *lastType_ != type) {
      const auto* named = Lookup(names_, type);
      lastType_ = type;
      lastTag_ = named != nullptr ? named->second : 0;
    }
    arguments_.push_back(lastTag_);
    at = end + 1;
  }
  limits->argumentClasses = &arguments_;
  limits->memberClasses = &members_;
}

void CallKnowledge::DescribeClass(const GSClass& cls) {
  describedClass_ = &cls;
  ownClass_ = TagOf(&cls);
  // Object fields, the class's own and its bases' at their views.
  members_.assign(cls.instanceWords, 0);
  const auto add = [&](const GSClass& owner, i64 offset) {
    for (const auto& field : owner.fields) {
      const i64 word = offset + field.slot;
      if (field.slot >= 0 && word >= 0 && u64(word) < members_.size()) {
        members_[size_t(word)] = TagOf(owner.library, field.classReference);
      }
    }
  };
  add(cls, 0);
  for (const auto& base : cls.bases) {
    const GSClass* baseClass = library_->classLinks[size_t(base.classReference)].linkedClass;
    if (baseClass != nullptr) add(*baseClass, base.memberOffset);
  }
}

CallTarget CallKnowledge::Find(const void* context, u32 receiver, u32 method, u32 argumentWords) {
  const auto& self = *static_cast<const CallKnowledge*>(context);
  if (receiver != 0 && receiver <= self.library_->classLinks.size()) {
    const GSClass* cls = self.library_->classLinks[receiver - 1].linkedClass;
    if (cls != nullptr && method < cls->methods.size() && cls->library != nullptr) {
      const u32 reference = cls->methods[method].functionReference;
      const auto& links = cls->library->functionLinks;
      const GSFunction* found = reference < links.size() ? links[reference].function : nullptr;
      if (found != nullptr && found->record.header.argumentWords == argumentWords) {
        return {&self.ShapeOfFunction(found),
                self.TagOf(found->library, found->record.header.returnClass)};
      }
    }
  }
  const auto* found = Lookup(self.agreed_, u64(method) << 32 | argumentWords);
  if (found == nullptr) return {};
  return {found->second, 0};
}

}  // namespace GSRuntime
