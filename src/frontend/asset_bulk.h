// Whole-database helpers of the authors and vnydeleteall commands.
#pragma once

#include "assetdata/results_log.h"
#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/types.h"

// The creator name of the asset's author; for an asset the daemon does not know, the name of
// author id 0.
Qel::PString GetAssetAuthorName(const KUID& kuid);
// Deletes every local asset, in search order; the number deleted. Each asset not deleted gets an
// error line in `log`: the daemon's reason, or a general one when it gave none.
u32 VnyDeleteAll(ResultsLog* log);
