// The fixed vocabulary of asset configurations: interned tag names, and the tables that turn an
// asset kind or a legacy category-class code into a category list, plus the reference tables of
// category names, category type words and countries.
//
// Everything here is built during static initialisation and never changed afterwards, so any
// thread may read it without a lock. Each table keeps its end row (an empty kind or an empty
// category list) as its last element; the country table has none.
#pragma once

#include <span>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Vocabulary {

// Tag names that the configuration readers compare by handle.
extern const Qel::PString kTagUsername;
extern const Qel::PString kTagName;
extern const Qel::PString kTagAssetFilename;
extern const Qel::PString kTagKestroBuild;
extern const Qel::PString kTagKind;
extern const Qel::PString kTagKuid;
extern const Qel::PString kTagKuidTable;
extern const Qel::PString kTagOptionalKuidTable;
extern const Qel::PString kTagObsoleteTable;
extern const Qel::PString kTagStringTable;

// Interned beside the tag names; nothing reads them yet.
extern const Qel::PString kTagDescription;
extern const Qel::PString kTagRegion;
extern const Qel::PString kTagCategoryRegion;
extern const Qel::PString kTagData;
extern const Qel::PString kEmptyTexts[5];
extern const Qel::PString kKeyMainLanguage;
extern const Qel::PString kKeyMiscNoname;
extern const Qel::PString kKeyMiscCustom;
extern const Qel::PString kKeyMiscDefault;
extern const Qel::PString kKeyMainDescriptionLanguage;
extern const Qel::PString kKeyNwmpNameDefault;
extern const Qel::PString kKeyNwmpProfileDefault;
extern const Qel::PString kKeyMainDefunctNameLanguage;
extern const Qel::PString kKeyMainStringtableLanguage;

// The category codes of the repaint tool's templates and skins; no other row uses them.
inline constexpr char kTemplateCategoryCode[] = "TFT";
inline constexpr char kSkinCategoryCode[] = "TFS";

// Kind and type words (lower case) to a category list. An empty type expression accepts any type.
struct KindCategoryRow {
  Qel::PString kind;
  Qel::PString typeExpression;
  Qel::String categories;
};

// A legacy two-letter (or longer) category-class code to a category list. An empty kind accepts
// any kind.
struct CategoryClassRow {
  const char* kind;
  const char* code;
  Qel::String categories;
};

struct CategoryNameRow {
  const char* categories;
  Qel::PString name;
  u32 flags;
};

struct CategoryTypeWordRow {
  const char* categories;
  Qel::PString word;
  i32 value;
};

struct CountryRow {
  u32 code;
  Qel::String name;
};

// Two letters as the four-character code "  XY": the letters in the two low bytes, the first one
// higher, spaces above them.
constexpr u32 CountryCode(const char (&letters)[3]) {
  return 0x20200000u | (u32(u8(letters[0])) << 8) | u32(u8(letters[1]));
}

std::span<const KindCategoryRow> KindCategoryTable();
std::span<const CategoryClassRow> CategoryClassTable();
std::span<const CategoryNameRow> CategoryNameTable();
std::span<const CategoryTypeWordRow> CategoryTypeWordTable();
std::span<const CountryRow> CountryTable();

}  // namespace Vocabulary
