// Message texts handed to the results log are built through these.
#pragma once

#include "qel/string.h"

inline Qel::String MakeString(const char* text) { return Qel::String(text); }
inline Qel::String MakeString(const Qel::String& text) { return text; }
