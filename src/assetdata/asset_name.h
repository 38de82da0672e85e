// Display names and build versions read from an asset's configuration.
#pragma once

#include <string>

#include "assetdata/soup.h"
#include "core/stream.h"
#include "qel/string.h"
#include "qel/types.h"

// The length of a quotation mark at `at`: 0, 1 or 3. `extent` is the number of bytes readable
// from there: positive reading forwards from the first byte, negative reading backwards from the
// last. Knows ASCII quotes, the Windows-1252 curly quotes and the UTF-8 ones (opening forwards,
// closing backwards).
u32 GetQuoteLength(const char* at, i32 extent);

Qel::String UnderscoresToSpaces(const Qel::String& text);

// Trims white space, then one quotation mark at each end; an empty result becomes the
// interface text for an untitled asset.
Qel::String CleanDisplayName(Qel::String name);

// "username", else "name", else "asset-filename", cleaned; assets from before build 2.9 write
// spaces as '_'.
Qel::String GetAssetDisplayName(Soup config);

// The longest name an asset may have: the longest text the daemon's replies carry. A longer one
// would show as no name at all.
inline constexpr u32 kMaxAssetNameBytes = TStream::kMaxStringLength;
// Why an install refuses the configuration: a name tag ("username", "name", "asset-filename")
// longer than kMaxAssetNameBytes; empty when none is.
std::string RefuseAssetNames(const Soup& config);

// The configured build, or a guess from the tags present when it is missing or out of range.
f32 GetAssetBuildVersion(Soup config);
