// Content folders opened as resource databases, and the process-wide cache that keeps at most
// 256 of them open, keyed by content-folder name, each with a use count. Every cache operation
// takes the cache's lock, so any thread may use them; the databases are used outside it.
#pragma once

#include "qel/file_find.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/resource_database.h"
#include "qel/string.h"
#include "qel/types.h"

// A resource database over one content folder. While it exists its name is a file-system
// substitution (Qel::File::Subst) for the folder, or for the folder's archive "<folder>.qa" when
// that file exists.
class KestroResourceDatabase : public Qel::ResourceDatabase {
 public:
  // Null for an empty name or folder: the substitution would name nothing, or the file-system
  // root. `siblings`, when given, is the listing of the folder's parent, which answers whether
  // the archive exists without reading the parent again.
  static KestroResourceDatabase* Create(const Qel::PString& name, const Qel::File::Path& folder,
                                        const Qel::File::Names* siblings = nullptr);
  // Removes the substitution, even while others still hold the name.
  ~KestroResourceDatabase() override;

  bool IsArchive() const { return archive_; }
  // What the name stands for: the archive file, or the folder with a trailing '/'.
  const Qel::String& GetSubstTarget() const { return target_; }

 private:
  KestroResourceDatabase(const Qel::PString& name, const Qel::File::Path& folder,
                         const Qel::File::Names* siblings);

  bool archive_ = false;
  Qel::String target_;
};

inline constexpr u32 kResourceDatabaseCacheSize = 256;

// The cached database of name with one more use. A name already cached gives its database
// whatever path is passed. When the cache is full, unused databases are evicted first; null when
// it stays full or the database cannot be made. `siblings` as for KestroResourceDatabase::Create.
KestroResourceDatabase* AcquireResourceDatabase(const Qel::PString& name,
                                                const Qel::File::Path& path,
                                                const Qel::File::Names* siblings = nullptr);
// One more or one less use; nothing for null or a database that is not cached. A database stays
// open at count 0 until an eviction, and a count never drops below 0.
void RetainResourceDatabase(KestroResourceDatabase* database);
void ReleaseResourceDatabase(KestroResourceDatabase* database);
// Closes every cached database whose count is 0.
void EvictUnusedResourceDatabases();

// Entries in use, and a database's use count (0 when it is not cached).
u32 GetCachedResourceDatabaseCount();
u32 GetResourceDatabaseUseCount(const KestroResourceDatabase* database);
