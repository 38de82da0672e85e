// The engine's resource database: a named folder from which resources load by name. Names are
// relative: a name with a ".." component or an absolute one is refused, so no resource reaches
// outside its folder. Live databases are counted so that their owners can be checked for leaks.
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

  // The path of a resource name inside the folder ('\\' read as '/'); false for a refused name.
  virtual bool GetFilePath(const String& name, String& path) const;
  // The path, resolved case-insensitively, of a name whose file exists and whose real path lies
  // below the folder's (no link leads it out); false otherwise.
  bool FindFile(const String& name, String& path) const;
  static bool IsSafeName(const String& name);

  // Databases constructed and not yet destroyed, process-wide.
  static u32 GetLiveCount();

 private:
  PString name_;
  String folder_;
};

}  // namespace Qel
