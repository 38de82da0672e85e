#include "qelgfx/animation.h"

#include "qel/resource_database.h"

namespace Qel {

u32 Animator::Load(const ResourceDatabase& database, const String& name) {
  return database.FindFile(name, path_) ? 0 : 3;
}

}  // namespace Qel
