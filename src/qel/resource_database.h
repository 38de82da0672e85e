// The engine's resource database: a named source from which resources load. This engine has no
// resource loading yet, so a database is its name and folder; live databases are counted so that
// their owners can be checked for leaks.
#pragma once

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class ResourceDatabase {
 public:
  ResourceDatabase(const PString& name, const String& folder);
  virtual ~ResourceDatabase();
  ResourceDatabase(const ResourceDatabase&) = delete;
  ResourceDatabase& operator=(const ResourceDatabase&) = delete;

  const PString& GetName() const { return name_; }
  const String& GetFolder() const { return folder_; }

  // Databases constructed and not yet destroyed, process-wide.
  static u32 GetLiveCount();

 private:
  PString name_;
  String folder_;
};

}  // namespace Qel
