// Text conversion between the code pages the system meets. Every conversion goes through
// UTF-16, as the Windows conversions do.
//
// The "ANSI" code page is Windows-1252. Its five unassigned bytes (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) map to and from U+0081, U+008D, U+008F, U+0090 and U+009D, so every byte string
// survives a round trip. Invalid UTF-8 decodes to U+FFFD, one per maximal ill-formed
// subsequence; a lone UTF-16 surrogate becomes U+FFFD in UTF-8. A character that Windows-1252
// cannot hold becomes '?' (one per character, a surrogate pair included).
#pragma once

#include <string>
#include <string_view>

#include "qel/types.h"

namespace Qel {

inline constexpr u32 kCodePageAnsi = 0;  // the system's ANSI code page, i.e. 1252
inline constexpr u32 kCodePage1252 = 1252;
inline constexpr u32 kCodePageUtf8 = 65001;
// Text for the console passes unchanged.
inline constexpr u32 kConsoleCodePage = kCodePageUtf8;

// kCodePageAnsi resolves to 1252; other ids stay as they are.
u32 ResolveCodePage(u32 codePage);
bool IsSupportedCodePage(u32 codePage);

// Replace `*out`; false only for an unsupported code page or a converter the system lacks
// (then `*out` is empty). Invalid input is replaced as described above, never refused.
bool MultiByteToUtf16(std::string_view in, u32 codePage, std::u16string* out);
bool Utf16ToMultiByte(std::u16string_view in, u32 codePage, std::string* out);
// Same resolved code page on both sides: the bytes pass unchanged, invalid sequences included.
bool ConvertCodePage(std::string_view in, u32 fromCodePage, u32 toCodePage, std::string* out);

std::u16string Utf8ToUtf16(std::string_view in);
std::string Utf16ToUtf8(std::u16string_view in);

}  // namespace Qel
