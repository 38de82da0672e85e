// Byte-form constants of the asset-search filter tree, shared by the client that writes the tree
// and the daemon that evaluates it. Depends on qel/types.h only.
//
// Byte form (little-endian), each element a u32 tag and its body; a missing filter is u32 0:
//   group:     u8 first flag, u8 negated, u32 child count, children
//   string:    u32 kind, u32 length and the text bytes, u8 exact
//   bool:      u32 flag index
//   int:       u32 kind, i32 low, i32 high, u8 low inclusive, u8 high inclusive
//   timestamp: u32 kind, u64 low, u64 high, u8 low inclusive, u8 high inclusive
//   asset id:  u32 kind, u32 count, count KUIDs (stream form, ascending, no duplicates)
// Flag bytes are written as 0 or 1; readers take any non-zero byte as 1.
#pragma once

#include "qel/types.h"

namespace PymFilterCodes {

constexpr u32 kTagNone = 0;
constexpr u32 kTagGroup = FourCC("grup");      // 0x67727570
constexpr u32 kTagString = FourCC("strn");     // 0x7374726E
constexpr u32 kTagBool = FourCC("bool");       // 0x626F6F6C
constexpr u32 kTagInt = FourCC("inte");        // 0x696E7465
constexpr u32 kTagTimestamp = FourCC("time");  // 0x74696D65
constexpr u32 kTagAssetID = FourCC("asst");    // 0x61737374
static_assert(kTagGroup == 0x67727570u && kTagString == 0x7374726Eu && kTagBool == 0x626F6F6Cu);
static_assert(kTagInt == 0x696E7465u && kTagTimestamp == 0x74696D65u && kTagAssetID == 0x61737374u);

// The first flag the client always writes: the group matches an asset only when every child
// matches. A set negation flag inverts the group's result.
constexpr u8 kGroupAllChildren = 1;

// Readers refuse a tree with an element deeper than this level; the root element is level 1.
constexpr u32 kMaxNesting = 1000;

// String kinds.
constexpr u32 kStringAssetName = 0;  // with the exact byte set, the whole name must match
constexpr u32 kStringCategoryList = 1;
constexpr u32 kStringEraList = 2;
constexpr u32 kStringKeywordList = 3;
constexpr u32 kStringRegionList = 4;
constexpr u32 kStringKindCount = 5;

// Int kinds.
constexpr u32 kIntLocalRating = 0;
constexpr u32 kIntAuthor = 1;
constexpr u32 kIntVersion = 2;
constexpr u32 kIntKindCount = 3;

// Timestamp kinds.
constexpr u32 kTimestampInstallation = 0;
constexpr u32 kTimestampModification = 1;
constexpr u32 kTimestampKindCount = 2;

// Asset-id kinds.
constexpr u32 kAssetIDAssetId = 0;
constexpr u32 kAssetIDProfileMap = 1;
constexpr u32 kAssetIDKindCount = 2;

// Bool flag indexes: the element matches assets whose flag is true.
constexpr u32 kFlagLocal = 0;
constexpr u32 kFlagVantry = 1;
constexpr u32 kFlagLocationUnknown = 2;
constexpr u32 kFlagLocallyAvailable = 3;
constexpr u32 kFlagUpToDate = 4;
constexpr u32 kFlagObsolete = 5;
constexpr u32 kFlagLocallyModified = 6;
constexpr u32 kFlagValidName = 7;
constexpr u32 kFlagOpenForEdit = 8;
constexpr u32 kFlagInArchive = 9;
constexpr u32 kFlagLocallyEnabled = 10;
constexpr u32 kFlagHasMissingDependencies = 11;
constexpr u32 kFlagHasFaultyDependencies = 12;
constexpr u32 kFlagFaulty = 13;
constexpr u32 kFlagFromTintforge = 14;
constexpr u32 kFlagBuiltin = 15;
constexpr u32 kFlagListingPrivilege = 16;
constexpr u32 kFlagCommitPrivilege = 17;
constexpr u32 kFlagWarnings = 18;
constexpr u32 kFlagHasScriptSource = 19;
constexpr u32 kFlagCompatible = 20;
constexpr u32 kFlagInBaseContentSet = 21;
constexpr u32 kFlagCount = 22;

}  // namespace PymFilterCodes
