#include "gsruntime/call_knowledge.h"

#include <string_view>

namespace GSRuntime {

CallKnowledge::CallKnowledge(GSLibrary* library) : library_(library) {
  for (size_t i = library->classLinks.size(); i-- > 0;) {
    const GSClass* linked = library->classLinks[i].linkedClass;
    if (linked == nullptr) continue;
    tags_[linked] = static_cast<u32>(i + 1);  // the first entry wins
    names_[*linked->name] = static_cast<u32>(i + 1);
  }
  for (const auto& cls : library->classes) {
    for (GSFunction& function : cls->functions) function.shape = ShapeOf(function.record);
  }
  for (const auto& link : library->functionLinks) {
    if (link.slot < 0) continue;
    const CallShape shape = ShapeOf(link.function->record);
    const auto [entry, added] = agreed_.emplace(
        std::pair{u32(link.slot), link.function->record.header.argumentWords}, shape);
    if (added) continue;
    CallShape& agreed = entry->second;
    if (agreed.result != shape.result) agreed.result = kEitherResult;
    for (size_t i = 0; i < agreed.argumentKinds.size() && i < shape.argumentKinds.size(); ++i) {
      if (agreed.argumentKinds[i] != shape.argumentKinds[i]) agreed.argumentKinds[i] = kEitherWord;
    }
  }
}

u32 CallKnowledge::TagOf(const GSClass* cls) const {
  const auto found = tags_.find(cls);
  return found != tags_.end() ? found->second : 0;
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
  limits->ownClass = TagOf(&cls);
  // The parameter types of the signature text, "$int@Holder::Take(Holder,int)": one word each.
  arguments_.assign(1, limits->ownClass);
  const std::string_view signature = *function.name;
  const size_t open = signature.find('(');
  for (size_t at = open == std::string_view::npos ? signature.size() : open + 1;
       at < signature.size();) {
    size_t end = signature.find_first_of(",)", at);
    if (end == std::string_view::npos) end = signature.size();
    const std::string_view type = signature.substr(at, end - at);
    const auto named = names_.find(type);
    arguments_.push_back(named != names_.end() ? named->second : 0);
    at = end + 1;
  }
  limits->argumentClasses = &arguments_;
  limits->memberClasses = &members_;
  if (&cls == membersOf_) return;
  membersOf_ = &cls;
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
        // Another library's function may not have been verified yet (libraries that include
        // each other link together): its shape comes from its record.
        const CallShape* shape = &found->shape;
        if (found->library != self.library_) {
          auto [entry, added] = self.foreign_.try_emplace(found);
          if (added) entry->second = ShapeOf(found->record);
          shape = &entry->second;
        }
        return {shape, self.TagOf(found->library, found->record.header.returnClass)};
      }
    }
  }
  const auto found = self.agreed_.find({method, argumentWords});
  if (found == self.agreed_.end()) return {};
  return {&found->second, 0};
}

}  // namespace GSRuntime
