// The texture-file check of an asset's folder tree: texture descriptions ("<stem>.texture.txt"
// with "Primary=" and "Alpha=" lines), compiled textures ("<stem>.texture") and stray conversion
// descriptions (".convert-tex.txt"). Each problem is an error or warning finding, key only, whose
// text is the localised "$tet_" text formatted with the names concerned, relative to the asset's
// root folder. Needs the data manager (its asset build and outside-editing-and-base flag).
//
// Image names are confined to the asset: a name that is absolute or climbs with "..", or that
// leads out of the root through a symbolic link, is reported as a missing image and never opened.
// Links to folders are not followed, so a folder that links to itself is walked once.
#pragma once

#include "qel/string.h"
#include "qel/types.h"

namespace TETLib {

// Checks every texture file in folder and below it. root is the asset's folder, from which the
// reported names are taken; folder is the root itself or a folder below it. True when nothing
// was reported.
bool CheckTextureFiles(const Qel::String& root, const Qel::String& folder);

// True when the data manager's asset build, in whole hundredths, is at least version in whole
// hundredths (each truncated from value x 100 + 0.1).
bool BuildReached(f32 version);

// True for 0 and the powers of two.
bool IsPowerOfTwo(u32 n);

}  // namespace TETLib
