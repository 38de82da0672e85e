// The text form of a soup: tag names and values, one per line, with braces around nested blocks.
// The reader never fails: what is not a number, a block or a KUID becomes text, and the end of the
// input closes every open block. Soup::ParseText and WriteSoupText (soup.h) are the stream entry
// points.
#pragma once

#include <cstddef>
#include <string_view>

#include "qel/types.h"

class Soup;

// Column (counting from 0) at which the writer starts a value.
inline constexpr u32 kSoupTextValueColumn = 40;
// Characters of a tag name that the reader keeps and the writer writes.
inline constexpr u32 kSoupTextMaxReadName = 511;
inline constexpr u32 kSoupTextMaxWrittenName = 1024;

// Parses text into target (cleared first), which stays the empty soup when no tag is read.
// The input ends at its end, at a zero byte or at a '}' that closes no block; a block opening
// below the nesting limit also ends it. `utf8` says that the text is known to be UTF-8; when it
// is false, a leading byte-order mark makes it so, and otherwise text values holding bytes of
// 0x80 and above are converted from the ANSI code page. Returns the count of bytes consumed.
size_t ParseSoupText(Soup& target, std::string_view text, bool utf8);
