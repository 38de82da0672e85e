// Sized little-endian writes on an engine file. Each returns false when the file took fewer
// bytes than asked, so a writer can refuse to call a partial file done.
#pragma once

#include "qel/types.h"

namespace Qel {

class File;

bool WriteBlock(File& file, const void* data, u32 size);
bool WriteU32(File& file, u32 value);
bool WriteI32(File& file, i32 value);
bool WriteU16(File& file, u16 value);
bool WriteF32(File& file, f32 value);
// Four characters in reading order ("QIRF", "INFO"); not a 32-bit value.
bool WriteTag(File& file, const char* tag);

}  // namespace Qel
