#include "pymclient/resource_db_cache.h"

#include <array>

#include "core/file_util.h"
#include "platform/invariant.h"
#include "qel/critical_section.h"
#include "qel/file.h"

namespace {

using Qel::File;
using Qel::PString;
using Qel::String;

struct CacheEntry {
  PString name;
  KestroResourceDatabase* database = nullptr;
  u32 count = 0;
};

struct ResourceDatabaseCache {
  Qel::CriticalSection lock;
  std::array<CacheEntry, kResourceDatabaseCacheSize> entries;
  u32 used = 0;
};

ResourceDatabaseCache& Cache() {
  static ResourceDatabaseCache cache;
  return cache;
}

// The entry holding database, or null; the caller holds the lock.
CacheEntry* FindEntry(ResourceDatabaseCache& cache, const KestroResourceDatabase* database) {
  KESTRO_ASSERT(cache.lock.IsLockedByCurrentThread());
  if (database == nullptr) return nullptr;
  for (u32 i = 0; i < cache.used; ++i) {
    if (cache.entries[i].database == database) return &cache.entries[i];
  }
  return nullptr;
}

String WithoutTrailingSeparators(const String& text) {
  String out = text;
  while (out.Length() > 1 && (out[out.Length() - 1] == '/' || out[out.Length() - 1] == '\\')) {
    out.Truncate(out.Length() - 1);
  }
  return out;
}

}  // namespace

KestroResourceDatabase* KestroResourceDatabase::Create(const PString& name,
                                                       const File::Path& folder,
                                                       const File::Names* siblings) {
  if (name.IsEmpty() || folder.IsEmpty()) return nullptr;
  return new KestroResourceDatabase(name, folder, siblings);
}

KestroResourceDatabase::KestroResourceDatabase(const PString& name, const File::Path& folder,
                                               const File::Names* siblings)
    : Qel::ResourceDatabase(name, folder.GetText()) {
  const String base = WithoutTrailingSeparators(folder.GetText());
  File::Path archive(base + ".qa");
  archive.ReplaceForwardSlashes();
  archive_ = siblings != nullptr ? siblings->Contains(archive.GetFileName().CStr())
                                 : File::Exists(archive.CStr());
  if (archive_) {
    target_ = archive.GetText();
  } else {
    File::Path folderTarget(base + "/");
    folderTarget.ReplaceForwardSlashes();
    target_ = folderTarget.GetText();
  }
  File::Subst(GetName(), target_.CStr(), !archive_);
}

KestroResourceDatabase::~KestroResourceDatabase() { File::Subst(GetName(), nullptr); }

KestroResourceDatabase* AcquireResourceDatabase(const PString& name, const File::Path& path,
                                                const File::Names* siblings) {
  ResourceDatabaseCache& cache = Cache();
  Qel::SingleLock guard(cache.lock);
  for (u32 i = 0; i < cache.used; ++i) {
    CacheEntry& entry = cache.entries[i];
    if (entry.name == name) {
      ++entry.count;
      return entry.database;
    }
  }
  if (cache.used == kResourceDatabaseCacheSize) {
    EvictUnusedResourceDatabases();
    if (cache.used == kResourceDatabaseCacheSize) return nullptr;
  }
  KestroResourceDatabase* database = KestroResourceDatabase::Create(name, path, siblings);
  if (database == nullptr) return nullptr;
  CacheEntry& entry = cache.entries[cache.used++];
  entry.name = name;
  entry.database = database;
  entry.count = 1;
  return database;
}

void RetainResourceDatabase(KestroResourceDatabase* database) {
  ResourceDatabaseCache& cache = Cache();
  Qel::SingleLock guard(cache.lock);
  if (CacheEntry* entry = FindEntry(cache, database)) ++entry->count;
}

void ReleaseResourceDatabase(KestroResourceDatabase* database) {
  ResourceDatabaseCache& cache = Cache();
  Qel::SingleLock guard(cache.lock);
  CacheEntry* entry = FindEntry(cache, database);
  if (entry != nullptr && entry->count > 0) --entry->count;
}

void EvictUnusedResourceDatabases() {
  ResourceDatabaseCache& cache = Cache();
  Qel::SingleLock guard(cache.lock);
  u32 i = 0;
  while (i < cache.used) {
    CacheEntry& entry = cache.entries[i];
    if (entry.database == nullptr || entry.count != 0) {
      ++i;
      continue;
    }
    delete entry.database;
    // The last entry moves into this place and is examined in turn.
    CacheEntry& last = cache.entries[cache.used - 1];
    if (&last != &entry) entry = std::move(last);
    last = CacheEntry();
    --cache.used;
  }
}

u32 GetCachedResourceDatabaseCount() {
  ResourceDatabaseCache& cache = Cache();
  Qel::SingleLock guard(cache.lock);
  return cache.used;
}

u32 GetResourceDatabaseUseCount(const KestroResourceDatabase* database) {
  ResourceDatabaseCache& cache = Cache();
  Qel::SingleLock guard(cache.lock);
  const CacheEntry* entry = FindEntry(cache, database);
  return entry != nullptr ? entry->count : 0;
}
