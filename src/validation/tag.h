// One value tag of a configuration container after it was matched against its definition: its
// name and text, the type code that chooses how it is tested and written, its rules and the
// per-type details that the checks need. Made, configured and deleted by its container.
#pragma once

#include <string_view>
#include <vector>

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/types.h"
#include "validation/validation_rules.h"

namespace TETLib {

class Container;

// The value types of a tag, from the definition's "type" (2 is never given).
enum TagType : i32 {
  kTagTypeFloat = 0,
  kTagTypeString = 1,
  kTagTypeInt = 3,
  kTagTypeBool = 4,
  kTagTypeVector2 = 5,
  kTagTypeVector3 = 6,
  kTagTypeVector4 = 7,
  kTagTypeVector5 = 8,
  kTagTypeFloatList = 9,
  kTagTypeComboBox = 10,
  kTagTypeIntComboBox = 11,
  kTagTypeListBox = 12,
  kTagTypeDoubleString = 13,
  kTagTypeKUID = 14,
  kTagTypeFilePath = 15,
  kTagTypeFilePathEdit = 16,
  kTagTypeStringKUID = 17,
  kTagTypeKUIDBrowser = 18,
  kTagTypeStringKUIDBrowser = 19,
  kTagTypeUndefined = 20,
};

// A tag's value text. A value read from a configuration keeps its node and becomes text when it
// is first asked for: a tree is often released without asking most of its values, and turning
// every number and name into a shared string costs more than matching it. Reads as the text
// (empty when there is none) wherever a Qel::PString is read.
class TagValue {
 public:
  TagValue() = default;
  TagValue(const Qel::PString& text) : text_(text) {}  // NOLINT(runtime/explicit): reads as text
  TagValue& operator=(const Qel::PString& text) {
    text_ = text;
    node_ = nullptr;
    return *this;
  }

  // The text of a configuration value node as a soup's text getter gives it (see NodeText).
  void SetNode(const ACSChunk* node);

  const Qel::PString& Text() const {
    if (node_) Resolve();
    return text_;
  }
  operator const Qel::PString&() const { return Text(); }  // NOLINT(runtime/explicit)
  // Answered without making the text: a node is kept only when its text is not empty.
  bool IsSet() const { return node_ || text_.IsSet(); }
  bool IsEmpty() const { return !IsSet(); }
  std::string_view View() const { return Text().View(); }
  const char* CStr() const { return Text().CStr(); }
  Qel::PString Lower() const;
  // Calls use with the text as a view, without making the shared string where the node holds
  // the text or a single whole number: most values are only compared.
  template <class Use>
  decltype(auto) WithView(Use&& use) const {
    char number[16];
    return use(node_ ? PeekNode(number) : Text().View());
  }

  friend bool operator==(const TagValue& value, const Qel::PString& text) {
    return value.Text() == text;
  }

 private:
  void Resolve() const;
  // The node's text, written into number when it is a single whole number.
  std::string_view PeekNode(char (&number)[16]) const;

  mutable Qel::PString text_;
  mutable MPRef<ACSChunk> node_;
};

class Tag {
 public:
  Tag(i32 index, Container* owner, const Qel::PString& name);
  // Takes its first finding out of the error handler and itself out of every list of the data
  // manager, so that nothing outlives it holding its address.
  virtual ~Tag();
  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;

  // From the arena of the load that makes the tag, else from the heap (see NodeArena).
  static void* operator new(size_t size);
  static void operator delete(void* memory) noexcept;

  // Runs every rule, also after one failed; true when each passed (or there are none).
  bool RunTagRules();
  // Rules kept elsewhere for at least the tag's life (its definition's facts), run after
  // ruleFunctions: a loaded tag refers to its definition's rules rather than copying them. Each
  // rule gets its own copy of its parameters, as from ruleParameters.
  void ShareRules(const std::vector<TagRuleFunction>& functions,
                  const std::vector<Soup>& parameters);

  // Tags alive in the process.
  static i64 LiveCount();

  Qel::PString name;
  TagValue value;
  i32 typeCode = kTagTypeUndefined;
  i32 index = -1;
  Container* owner = nullptr;
  Qel::PString dataType;
  bool hasSource = false;
  Qel::PString source;
  std::vector<TagRuleFunction> ruleFunctions;
  std::vector<Soup> ruleParameters;
  bool disabled = false;
  bool isFile = false;
  Soup definitionSoup;
  Qel::PString category;
  Qel::PString filter;

 private:
  const std::vector<TagRuleFunction>* sharedRules_ = nullptr;
  const std::vector<Soup>* sharedParameters_ = nullptr;
};

// Splits a text into floats at every space and every comma; each field, also an empty one and the
// last, is read with atof (so "1, 2" gives 1, 0 and 2, and "" gives one 0).
std::vector<f32> ParseFloatList(std::string_view text);

}  // namespace TETLib
