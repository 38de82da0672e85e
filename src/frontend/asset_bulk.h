// Whole-database helpers of the authors and vnydeleteall commands.
#pragma once

#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/types.h"

// The creator name of the asset's author; for an asset the daemon does not know, the name of
// author id 0.
Qel::PString GetAssetAuthorName(const KUID& kuid);
// Deletes every local asset, in search order; the number deleted.
u32 VnyDeleteAll();
