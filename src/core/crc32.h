// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320).
#pragma once

#include "qel/types.h"

// 0 for an empty range.
u32 Crc32(const u8* data, u32 length);
// The checksum of the text with A-Z lower-cased, so names differing only in case hash equally.
u32 Crc32LowerCaseString(const char* text);
