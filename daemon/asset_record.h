// What the index holds for one asset, in the form that searches read.
#pragma once

#include <string>
#include <vector>

#include "core/kuid.h"
#include "qel/types.h"

namespace PymDaemonSrv {

struct AssetRecord {
  KUID kuid;
  // Content folder name ("local", "editing") and the asset folder relative to it.
  std::string folder;
  std::string path;
  // The display name and its lower-case copy, which name searches compare against.
  std::string name;
  std::string nameLower;
  std::string categories;  // from "kind", "type" and "category-class" (DeriveCategories)
  std::string region;      // "category-region"
  std::string era;         // "category-era"
  std::string keywords;
  std::string author;       // "author": the creator's name, seeding the creator names
  std::string description;  // "description"
  f32 build = 0.0f;
  // The bytes of every file in the asset's folder (links are not followed).
  u64 size = 0;
  // 255: not rated.
  i32 rating = 255;
  // Seconds since 1970-01-01 UTC.
  u64 installTime = 0;
  u64 modifyTime = 0;
  // Bit i is the filter flag of index i.
  u32 flags = 0;
  std::vector<KUID> dependencies;  // "kuid-table"
  std::vector<KUID> obsoletes;     // "obsolete-table"

  bool HasFlag(u32 index) const { return index < 32 && (flags >> index) & 1u; }
  void SetFlag(u32 index, bool on) {
    if (index >= 32) return;
    flags = on ? (flags | (1u << index)) : (flags & ~(1u << index));
  }
};

}  // namespace PymDaemonSrv
