// What a library's tables tell the byte-code verifier about the calls its code makes: the class
// behind each class-link entry, the function a class's method table holds at a slot, and, for
// a call on an object of unknown class, what the functions the library names at that slot
// agree on. The verifier uses it to choose how to walk a call; the interpreter still checks the
// function each call finds (GSFunction::CallFits).
#pragma once

#include <deque>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gsruntime/byte_code_verifier.h"
#include "gsruntime/gs_library.h"

namespace GSRuntime {

class CallKnowledge {
 public:
  // `library` is linked up to its classes' method tables; the shapes of its own functions are
  // set here.
  explicit CallKnowledge(GSLibrary* library);

  // Fills the call fields of `limits` for the code of `function` of `cls`.
  void Describe(const GSClass& cls, const GSFunction& function, VerifierLimits* limits);

 private:
  static CallTarget Find(const void* context, u32 receiver, u32 method, u32 argumentWords);
  void DescribeClass(const GSClass& cls);
  // The shape of `function`: its own once set, else made from its record and kept.
  const CallShape& ShapeOfFunction(const GSFunction* function) const;
  // The tag of a class (VerifierLimits::callTarget), 0 for one this library does not link.
  u32 TagOf(const GSClass* cls) const;
  // The tag of the class that class-link entry `reference` of `library` names.
  u32 TagOf(const GSLibrary* library, i32 reference) const;

  GSLibrary* library_;
  // Sorted tables, looked up by binary search: built once per library, read per function.
  std::vector<std::pair<const GSClass*, u32>> tags_;  // the first link entry wins
  // By (slot << 32 | argument words): the shape of the first function the library names
  // there, or one of merged_ where the functions differ.
  std::vector<std::pair<u64, const CallShape*>> agreed_;
  std::deque<CallShape> merged_;
  mutable std::unordered_map<const GSFunction*, CallShape> foreign_;  // other libraries' shapes
  std::vector<u32> arguments_;
  std::vector<std::pair<std::string_view, u32>> names_;  // tags by class name
  std::optional<std::string_view> lastType_;  // the parameter type last looked up, and its tag
  u32 lastTag_ = 0;
  // Of the class whose functions are being described: its tag and its member words' tags.
  const GSClass* describedClass_ = nullptr;
  u32 ownClass_ = 0;
  std::vector<u32> members_;
};

}  // namespace GSRuntime
