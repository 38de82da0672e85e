// A folder of CDP packages read as a repository: which asset versions it offers, in which
// package, with their names and dependencies. Packages are read again only when their size or
// time changes.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/kuid.h"
#include "qel/types.h"

namespace PymDaemonSrv {

// Packages of one repository folder that are read; the rest are passed over.
inline constexpr size_t kMaxRepositoryPackages = 10000;
// Packages are read whole to be indexed; larger ones are passed over.
inline constexpr u64 kMaxIndexedPackageBytes = 512ull << 20;

struct RepositoryAsset {
  KUID kuid;
  // The package's file name within the folder, and its size.
  std::string package;
  u64 packageSize = 0;
  std::string name;
  std::string categories;  // as the index holds them (DeriveCategories)
  std::vector<KUID> dependencies;
};

class RepositoryIndex {
 public:
  explicit RepositoryIndex(std::string folder) : folder_(std::move(folder)) {}

  const std::string& Folder() const { return folder_; }
  // Reads the folder again: new and changed packages are read, removed ones forgotten. A package
  // that does not read is passed over (and named in `skipped` when given).
  void Refresh(std::vector<std::string>* skipped = nullptr);
  // The newest version offered of the asset's user and content id; false when none is.
  bool FindNewest(const KUID& kuid, RepositoryAsset& out) const;
  // This very version, when it is offered.
  bool Find(const KUID& kuid, RepositoryAsset& out) const;
  // Every asset version offered.
  std::vector<RepositoryAsset> All() const;

 private:
  struct Package {
    i64 size = -1;
    i64 modified = 0;
    std::vector<RepositoryAsset> assets;
  };

  const std::string folder_;
  mutable std::mutex mutex_;
  std::map<std::string, Package> packages_;
};

}  // namespace PymDaemonSrv
