#include "validation/legacy_upgrade.h"

namespace TETLib {

// The rewrites of old configurations are not built yet: configurations are matched as written.
void UpgradeConfig(Soup& /*config*/) {}

}  // namespace TETLib
