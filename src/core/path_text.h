// Text helpers for paths, file names and the configuration parser's prefix tests. Case rules are
// ASCII only.
#pragma once

#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

// The engine's normalisation, then lower case and no trailing separator (a lone "/" stays). The
// separator here is '/', so "D:/Assets/" becomes "d:/assets".
void NormalizePath(Qel::File::Path& path);

// Either separator: paths from files and users may carry the other platform's.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// A leading separator ('/' or '\', which covers the network form) or a drive form ("X:/", "X:\").
// A drive form names nothing on this platform, so operations on it still fail.
bool IsAbsolutePath(const char* path);

// A path the user typed, taken from the folder base unless it is absolute. The file layer reads a
// relative path's first component as a substitution name ("scripts", "local"...), so a user's
// relative path must be anchored before it gets there. The text is kept as typed, so a trailing
// '/' and ".." still mean what they meant; an empty or null path gives "", for an option left
// empty means what it meant before.
Qel::String AnchorPath(const char* base, const char* path);

// True when a relative path would be anchored to an empty base: the folder the user started in no
// longer exists, so the path has nothing to be taken from and, left relative, the file layer
// would find it inside the installation. A null base (no anchoring asked for) is never gone.
bool StartFolderIsGone(const char* base, const char* path);
// The refusal of such a path, naming it as typed.
Qel::String StartFolderGoneMessage(const char* path);

bool IsDotOrDotDot(const char* name);

// True when the path ends in ".texture.txt", in any case.
bool IsTextureTxtFile(const char* path);

// A non-empty type wins, without its leading '.'; otherwise type becomes the file name's text after
// its last '.'. False, with type "", when there is neither.
bool ResolveFileExtension(const char*& type, const char* path);

// True when text starts with pattern: '?' matches any one character, letters match in either
// case, anything else must be equal. An empty pattern matches.
bool MatchPrefixIgnoreCase(const char* pattern, const char* text);

// Lower-cases A-Z up to the terminating zero and returns true on reaching it. When maxLength bytes
// pass first, the text is cut with a zero at maxLength - 1 and the result is false; with a
// maxLength of 0 nothing is written.
bool ToLowerAsciiInPlace(char* buffer, u32 maxLength);

// Re-interns the string in lower case (A-Z only); the empty string stays as it is.
bool ToLowerAscii(Qel::PString& text);

// True for 0 and every power of two.
bool IsPowerOfTwo(u32 value);
