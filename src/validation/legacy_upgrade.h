// The rewrite of a legacy configuration into the current vocabulary, applied in memory before a
// configuration is matched against its definitions.
#pragma once

#include "assetdata/soup.h"

namespace TETLib {

// Changes the configuration in place by the asset's build (the data manager's). Reports nothing
// and cannot fail.
void UpgradeConfig(Soup& config);

}  // namespace TETLib
