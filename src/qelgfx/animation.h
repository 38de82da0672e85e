// Animation stand-ins: the animation format is not read yet, so a skeleton modifier or animator
// only checks that its file resolves, and answers 3 (as a mesh load does for a bad file) when it
// does not.
#pragma once

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class ResourceDatabase;

class Animator {
 public:
  virtual ~Animator() = default;
  // 0 when the file resolves through the database, else 3.
  u32 Load(const ResourceDatabase& database, const String& name);
  const String& GetPath() const { return path_; }

 private:
  String path_;
};

class SkeletonModifier : public Animator {};

}  // namespace Qel
