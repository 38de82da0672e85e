// What the container model's two sources share: reporting to the one error handler and the
// whole-hundredths form of a build.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "assetdata/soup_convert.h"
#include "assetdata/soup_tree.h"
#include "core/kuid.h"
#include "platform/byte_order.h"
#include "platform/saturating_cast.h"
#include "qel/pstring.h"
#include "qel/types.h"
#include "validation/error_handler.h"
#include "validation/run_definitions.h"

namespace TETLib {

// The findings of a tag that no definition allows: both sources report it, for a tag made and for
// one read.
inline const Qel::PString kKeyObsoleteTag("$tet_container_obsoletetag");
inline const Qel::PString kKeyNoDefinition("$tet_container_nodefinition");

inline bool StartsWith(const Qel::PString& text, const Qel::PString& prefix) {
  return text.View().starts_with(prefix.View());
}

inline i32 WholeBuild(f32 build) { return Platform::SaturatingCast<i32>(build * 100.0f + 0.1f); }

// The handler is created before anything is validated and outlives every container; a tool that
// never made one simply keeps no findings.
template <class Owner>
void AddErrorFinding(const Qel::PString& text, const Owner* owner) {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->AddError(text, owner);
}
template <class Owner>
void AddWarningFinding(const Qel::PString& text, const Owner* owner) {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->AddWarning(text, owner);
}
inline void AddErrorFinding(const Qel::PString& text) {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->AddError(text);
}
inline void AddWarningFinding(const Qel::PString& text) {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->AddWarning(text);
}

// A value node's text as a soup's text getter gives it; empty when it has none.
inline Qel::PString NodeText(const ACSChunk* node) {
  if (node == nullptr) return {};
  const u32 kind = node->GetKind();
  if ((kind == kKindInt || kind == kKindFloat) && node->GetData() != nullptr) {
    // As the soup's converter writes numbers ("%d" or "%g", joined by commas), without its round
    // trip; to_chars with a precision is printf's form.
    const u32 count = node->GetDataSize() / 4;
    if (count == 0) return {};
    std::string text;
    char piece[32];
    for (u32 i = 0; i < count; ++i) {
      const u8* at = node->GetData() + 4 * i;
      const std::to_chars_result written =
          kind == kKindInt
              ? std::to_chars(piece, piece + sizeof piece, i32(ByteOrder::LoadLE32(at)))
              : std::to_chars(piece, piece + sizeof piece, double(ByteOrder::LoadLEF32(at)),
                              std::chars_format::general, 6);
      if (i != 0) text += ',';
      text.append(piece, size_t(written.ptr - piece));
    }
    return Qel::PString(text);
  }
  if (kind == kKindText) {
    // Read in place: most values are text already.
    const char* data = reinterpret_cast<const char*>(node->GetData());
    const std::string_view bytes(data, data != nullptr ? node->GetDataSize() : 0);
    const std::string_view view = bytes.substr(0, bytes.find('\0'));
    return view.empty() ? Qel::PString() : Qel::PString(view);
  }
  if (kind == kKindKUID && node->GetData() != nullptr && node->GetDataSize() == 8) {
    // As the soup's converter writes a KUID, without its round trip through a copy.
    return KUID::Unpack(ByteOrder::LoadLE32(node->GetData()),
                        ByteOrder::LoadLE32(node->GetData() + 4))
        .ToString();
  }
  MPRef<ACSRawDataCore> text;
  ACSConverter::ConvertValue(node->GetKind(), ACSRawDataCore::CreateChunkView(node), kKindText,
                             &text);
  const std::string_view view = SoupTextView(text.Get());
  return view.empty() ? Qel::PString() : Qel::PString(view);
}

// Whether a soup the container model took from the definitions or their facts is the empty
// handle. Those come from FromChunk and GetNamedSoup (or are a load's copies), which hold a node
// only when it is present: the handle tells, without a look at the node that IsNull takes.
inline bool IsNone(const Soup& soup) { return !soup.GetRoot(); }

// Named entries in order; setting a name replaces its entry, which moves to the end.
template <class Value>
class EntryList {
 public:
  void Set(const Qel::PString& name, Value value) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->first == name) {
        items_.erase(it);
        break;
      }
    }
    items_.emplace_back(name, std::move(value));
  }
  const std::vector<std::pair<Qel::PString, Value>>& Items() const { return items_; }

 private:
  std::vector<std::pair<Qel::PString, Value>> items_;
};

// The working "subpossibilities", "tagarray" and "array-element" of a container being built,
// with the definitions merged into them and the findings of the merge.
struct MergedEntries {
  EntryList<MPRef<ACSChunk>> subpossibilities;
  EntryList<MPRef<ACSChunk>> tagArray;
  EntryList<Qel::PString> arrayElement;
  std::vector<Qel::PString> inheritedNames;
  std::vector<Qel::PString> findings;
};

// The "validation" entries a definition inherits, merged, with the findings of the merge; kept
// per definition like its other facts.
const ValidationPlan& PlanInheritedValidation(const Soup& definition, RunDefinitions& definitions);

// One walk up the "inherit" lists of a definition. A name met again on its own path is a cycle,
// reported once and not followed; one met again through another path has been merged already
// and is not merged twice, so that a lattice of definitions costs one merge per definition.
class InheritWalk {
 public:
  // Inheritance chains are a few definitions long; this bounds the recursion that hostile data
  // could otherwise drive into the stack.
  static constexpr size_t kMaxDepth = 256;

  // Findings go to the list when one is given, else straight to the error handler.
  explicit InheritWalk(std::vector<Qel::PString>* findings = nullptr) : findings_(findings) {}

  // True when p is to be merged now, and then p is on the path until Leave; reports a cycle or
  // a chain that is too long.
  bool Enter(const Qel::PString& p);
  void Leave() { path_.pop_back(); }

 private:
  void Report(const Qel::PString& text);

  std::vector<Qel::PString>* findings_;
  std::vector<Qel::PString> path_;
  std::unordered_set<Qel::PString> merged_;
};

}  // namespace TETLib
