// KUID tables of configurations and packages, and the collection of the KUIDs an asset refers
// to and obsoletes.
//
// A KUID table is a container whose children "0", "1", "2", ... each hold one KUID. Lists keep
// their order and hold a KUID once unless a step says otherwise; the collection keeps a hash
// index beside each list, so that hostile tables of many thousand entries stay linear.
#pragma once

#include <unordered_set>

#include "assetdata/soup.h"
#include "core/chunked_list.h"
#include "core/kuid.h"
#include "qel/types.h"

using KUIDList = ChunkedList<KUID, 128>;

// A list with the set of what it holds. Changes must go through it while it lives.
class IndexedKUIDList {
 public:
  explicit IndexedKUIDList(KUIDList& list);

  bool Holds(const KUID& kuid) const { return held_.count(kuid) != 0; }
  // Appends unless held; never the null KUID.
  void AddUnique(const KUID& kuid);
  // Appends even when held.
  void Append(const KUID& kuid);
  // Removes the first occurrence by moving the last entry of its block into its place.
  void EraseUnordered(const KUID& kuid);
  KUIDList& List() { return list_; }

 private:
  KUIDList& list_;
  // How often each KUID occurs in the list.
  std::unordered_multiset<KUID> held_;
};

// The user id -10, content id 172 interior that a driven traincar without an "interior" uses.
inline constexpr KUID kDefaultInteriorKUID{-10, 172, 127};

// A new table of the list's KUIDs; null ones are left out and take no number.
Soup MakeKuidTable(const KUIDList& list);
// Every child read as a KUID, null values skipped, each added unless the list holds it.
void ReadKuidTable(const Soup& table, KUIDList& list);
void ReadKuidTable(const Soup& table, IndexedKUIDList& list);
// Every KUID value anywhere in the soup, and every text that parses strictly as a KUID, in walk
// order, each added unless held.
void CollectSoupKuids(const Soup& soup, IndexedKUIDList& list);

// Removes from the list the first occurrence of each entry of `removed`, keeping the order of the
// rest.
void EraseFirstOccurrences(KUIDList& list, const KUIDList& removed);

// What the asset (whose own KUID is `own`) needs from outside itself, added to `out` unless held.
void CollectAssetReferences(const KUID& own, const Soup& asset, KUIDList& out);
void CollectAssetReferences(const KUID& own, const Soup& asset, IndexedKUIDList& out);
// The asset's "obsolete-table" and "obsoletes-kuid", then the asset's own KUID taken out again.
void CollectAssetObsoletes(const KUID& own, const Soup& asset, KUIDList& list);
void CollectAssetObsoletes(const KUID& own, const Soup& asset, IndexedKUIDList& list);

// Adds the references that the configuration's "kuid-table" lacks, numbered on from its highest
// child name, and moves the table to the end of the configuration. True when the table gained
// entries (or was made from a non-empty list).
bool MergeKuidTable(Soup& config, const KUIDList& references);
