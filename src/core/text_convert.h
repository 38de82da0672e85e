// In-place code-page conversion of NUL-terminated texts, single UTF-8 sequence decoding, and
// the escaping of control characters for a result line.
#pragma once

#include <string>
#include <string_view>

#include "qel/types.h"

// Converts the NUL-terminated text in a buffer of `size` bytes from one code page to another
// (0 is the ANSI code page, 65001 UTF-8). Returns 0 when the result was written over the text;
// the size the result needs, NUL included, when it does not fit (the text is left as it was);
// -1 when the buffer holds no NUL (the text is emptied), and -1 when a code page cannot be
// converted (every byte of 0x80 or above becomes '?'). A null text or a negative size gives -1
// and touches nothing.
int ConvertCodePage(char* text, int size, u32 fromCodePage, u32 toCodePage);
int ConvertFromUtf8(char* text, int size, u32 toCodePage);
int ConvertToUtf8(char* text, int size);

// The code point returned for a sequence that cannot be decoded.
inline constexpr u32 kInvalidCodePoint = 0xFFFD;

// Decodes the UTF-8 sequence at the start of `bytes`. The length, when asked for, is the number
// of bytes the sequence takes; at the end of the text the result is 0 with length 0. A sequence
// cut short by the end, a NUL or a byte that cannot continue it is invalid (kInvalidCodePoint) and
// covers only the bytes before the cut; a lead byte of 0xF8 or above is invalid on its own.
u32 DecodeUtf8Char(std::string_view bytes, u32* outLength = nullptr);
// The same for a NUL-terminated text, whose NUL is its end.
u32 DecodeUtf8Char(const char* bytes, u32* outLength = nullptr);

// UTF-8 text from an asset (a name, a category, a tag name...) as it may stand in a result line,
// which must stay one line and show what it holds: a CR, an LF, or a CR/LF or LF/CR pair becomes
// \n; every other control character but TAB takes an escape: C0 and DEL as \x1b, C1
// (U+0080-U+009F) and the separators U+2028 and U+2029 as \u2028; and every byte of a sequence
// that is no well-formed UTF-8 (a stray byte: an overlong form, a surrogate, beyond U+10FFFF, cut
// short) as \x9b, since a terminal set to a single-byte code page would obey 0x80-0x9F. Every
// other byte, a backslash too, passes as it is: the system's own texts hold backslash paths.
std::string EscapeControlCharacters(std::string_view text);
