// What the tool knows about one asset from the daemon (request 0x15), the small queries that
// answer one question each from it, and two more per-asset queries of the same family.
#pragma once

#include "core/kuid.h"
#include "qel/file_path.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class Soup;
class TStream;

struct PymAssetInfo {
  // Status flag numbers.
  enum : u32 {
    kFlagLocallyModified = 2,
    kFlagInstalled = 3,
    kFlagBuiltIn = 4,
    kFlagVantryItem = 5,
    kFlagOnVantry = 6,
    kFlagInArchive = 7,
    kFlagOpenForEdit = 8,
    kFlagFaulty = 9,
    kFlagMissingDependencies = 11,
    kFlagPrebuilt = 13,
    kStatusFlagCount = 19,
  };
  static constexpr u32 kExtraFlagCount = 3;
  // Part masks.
  static constexpr u32 kPartBuiltIn = 0;
  static constexpr u32 kPartName = 1;
  static constexpr u32 kPartCategories = 4;
  static constexpr u32 kPartStatus = 8;
  static constexpr u32 kPartAll = 0xFFFFFFFFu;

  KUID asset;
  Qel::String name;
  Qel::String categoryRegion;
  Qel::String keywords;
  u8 statusFlags[3] = {1, 0, 0};
  u32 author = 0;
  Qel::PString firstNameField;
  Qel::String categoryEra;
  i32 secondNumber = -1;
  Qel::PString secondNameField;
  Qel::String category;
  u8 extraFlags = 0;
  u8 rating = 255;
  f32 build = 0.0f;
  u64 firstValue = 0;
  u64 secondValue = 0;
  KUID parent;
  u8 found = 0;

  bool GetFlag(u32 flag) const;
  void SetFlag(u32 flag, bool on);
  // A rating of 4 or 5.
  bool IsFavourite() const { return rating == 4 || rating == 5; }

  // Reads a 0x15 reply; a field missing at the end takes its read's default, so a truncated
  // reply leaves the record not found.
  void Read(TStream& in);
  // The reply form, which the daemon writes.
  void Write(TStream& out) const;
};

// The record's found flag; when the request fails the record keeps what it held.
bool PymGetAssetInfo(const KUID& kuid, PymAssetInfo& info, u32 partMask);

// Each answers from a fresh record; the values for an asset the daemon does not know (or an
// unreachable daemon) are the cautious ones: empty texts, and "yes" to every question that would
// hold the asset back, except built in.
Qel::String GetAssetName(const KUID& kuid);
Qel::String GetAssetCategoryRegion(const KUID& kuid);
Qel::String GetAssetKeywords(const KUID& kuid);
Qel::String GetAssetCategoryEra(const KUID& kuid);
bool IsAssetBuiltIn(const KUID& kuid);
bool IsAssetLocallyModified(const KUID& kuid);
bool IsAssetInstalled(const KUID& kuid);
bool IsAssetFaulty(const KUID& kuid);
bool IsAssetPrebuilt(const KUID& kuid);
bool HasAssetMissingDependencies(const KUID& kuid, bool countNotInstalled);

// The creator name of the id into `name`; true when it is not empty.
bool GetCreatorNameForId(u32 userId, Qel::PString& name);
// The script class and the lower-cased script path ("gs" extension) of the asset's
// configuration. False when the configuration is empty, either value is, or the script path is
// absolute or climbs out of the asset folder with "..". One leading "/" before a plain file name
// ("/name") is no absolute path: it names a library of the installation.
bool LoadAssetScriptInfo(const KUID& kuid, Qel::PString& className, Qel::File::Path& scriptPath);
// The rules of LoadAssetScriptInfo over a configuration already at hand.
bool ReadAssetScriptInfo(const Soup& config, Qel::PString& className, Qel::File::Path& scriptPath);
