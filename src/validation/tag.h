// One value tag of a configuration container after it was matched against its definition: its
// name and text, the type code that chooses how it is tested and written, its rules and the
// per-type details that the checks need. Made, configured and deleted by its container.
#pragma once

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

class Tag {
 public:
  Tag(i32 index, Container* owner, const Qel::PString& name);
  // Takes its first finding out of the error handler and itself out of every list of the data
  // manager, so that nothing outlives it holding its address.
  virtual ~Tag();
  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;

  // Runs every rule, also after one failed; true when each passed (or there are none).
  bool RunTagRules();

  // Tags alive in the process.
  static i64 LiveCount();

  Qel::PString name;
  Qel::PString value;
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
};

// Splits a text into floats at every space and every comma; each field, also an empty one and the
// last, is read with atof (so "1, 2" gives 1, 0 and 2, and "" gives one 0).
std::vector<f32> ParseFloatList(std::string_view text);

}  // namespace TETLib
