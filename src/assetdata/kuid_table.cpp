#include "assetdata/kuid_table.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "assetdata/soup_convert.h"
#include "assetdata/vocabulary.h"
#include "platform/byte_order.h"

namespace {

const Qel::PString kTagEngine("engine");
const Qel::PString kTagInterior("interior");
const Qel::PString kTagObsoletesKuid("obsoletes-kuid");
// Single tags whose KUID an asset needs, in the order they are collected.
const Qel::PString kSingleReferenceTags[] = {
    "alias",   "bridgetrack", "bogey",      "preview-mesh-kuid", "map-kuid",   "product-category",
    "bogey-1", "bogey-1-r",   kTagInterior, "enginespec",        "enginesound"};

KUID NodeAsKUID(const ACSChunk* node) {
  MPRef<ACSRawDataCore> value;
  ACSConverter::ConvertValue(node->GetKind(), ACSRawDataCore::CreateChunkView(node), kKindKUID,
                             &value);
  if (!value || value->GetSize() != 8) return KUID();
  return KUID::Unpack(ByteOrder::LoadLE32(value->GetData()),
                      ByteOrder::LoadLE32(value->GetData() + 4));
}

void CollectNodeKuids(const ACSChunk* node, IndexedKUIDList& list, u32 depth) {
  ForEachChild(node, [&](const Qel::PString&, const MPRef<ACSChunk>& child) {
    switch (child->GetKind()) {
      case kKindContainer:
        // Deeper trees are never read from outside; one made in memory is cut off here.
        if (depth < kMaxSoupDepth) CollectNodeKuids(child.Get(), list, depth + 1);
        break;
      case kKindKUID:
        if (child->GetDataSize() == 8) list.AddUnique(NodeAsKUID(child.Get()));
        break;
      case kKindText:
      case kKindTextAlt: {
        const char* bytes = reinterpret_cast<const char*>(child->GetData());
        const u32 size = bytes ? child->GetDataSize() : 0;
        if (size != 0 && bytes[size - 1] == '\0') {
          list.AddUnique(KUID::Parse(bytes, true));
        } else if (size != 0) {
          list.AddUnique(KUID::Parse(std::string(bytes, size).c_str(), true));
        }
        break;
      }
      default:
        break;
    }
  });
}

// The number a table child's name reads as, as "%d" would read it: blanks, a sign and digits,
// anything after them ignored; -1 when no digit follows.
i64 ChildNumber(std::string_view name) {
  size_t i = 0;
  while (i < name.size() && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '-' || name[i] == '+')) negative = name[i++] == '-';
  if (i >= name.size() || name[i] < '0' || name[i] > '9') return -1;
  i64 value = 0;
  // Saturates at the 32-bit limits, as the stored names were written from 32-bit counters.
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    value = std::min<i64>(value * 10 + (name[i] - '0'), i64(1) << 31);
  }
  return negative ? std::max<i64>(-value, INT32_MIN) : std::min<i64>(value, INT32_MAX);
}

}  // namespace

// --- IndexedKUIDList ---

IndexedKUIDList::IndexedKUIDList(KUIDList& list) : list_(list) {
  for (const KUID& kuid : list_) held_.insert(kuid);
}

void IndexedKUIDList::AddUnique(const KUID& kuid) {
  if (!kuid.IsNull() && !Holds(kuid)) Append(kuid);
}

void IndexedKUIDList::Append(const KUID& kuid) {
  list_.PushBack(kuid);
  held_.insert(kuid);
}

void IndexedKUIDList::EraseUnordered(const KUID& kuid) {
  const auto held = held_.find(kuid);
  if (held == held_.end()) return;
  held_.erase(held);
  list_.EraseUnordered(list_.Find(kuid));
}

// --- Tables ---

Soup MakeKuidTable(const KUIDList& list) {
  Soup table;
  table.EnsureContainer();
  u32 number = 0;
  for (const KUID& kuid : list) {
    if (kuid.IsNull()) continue;
    // Appended directly: the names are new, so there is nothing to replace.
    const KUID::Packed packed = KUID::Pack(kuid);
    u8 bytes[8];
    ByteOrder::StoreLE32(bytes, packed.word);
    ByteOrder::StoreLE32(bytes + 4, packed.contentId);
    ACSChunk* root = table.GetRoot().Get();
    root->AddChild(Qel::PString(std::to_string(number++)),
                   root->CreateTag(kKindKUID, ACSRawDataCore::CreateCopy(bytes, 8)));
  }
  return table;
}

void ReadKuidTable(const Soup& table, IndexedKUIDList& list) {
  if (!table.GetRoot()) return;
  ForEachChild(table.GetRoot().Get(), [&](const Qel::PString&, const MPRef<ACSChunk>& child) {
    list.AddUnique(NodeAsKUID(child.Get()));
  });
}

void ReadKuidTable(const Soup& table, KUIDList& list) {
  IndexedKUIDList indexed(list);
  ReadKuidTable(table, indexed);
}

void CollectSoupKuids(const Soup& soup, IndexedKUIDList& list) {
  if (soup.GetRoot()) CollectNodeKuids(soup.GetRoot().Get(), list, 0);
}

void EraseFirstOccurrences(KUIDList& list, const KUIDList& removed) {
  std::unordered_map<KUID, u32> pending;
  for (const KUID& kuid : removed) ++pending[kuid];
  KUIDList kept;
  for (const KUID& kuid : list) {
    const auto it = pending.find(kuid);
    if (it != pending.end() && it->second > 0) {
      --it->second;
      continue;
    }
    kept.PushBack(kuid);
  }
  list = std::move(kept);
}

// --- References and obsoletes ---

void CollectAssetReferences(const KUID& own, const Soup& asset, IndexedKUIDList& out) {
  KUIDList candidateList;
  IndexedKUIDList candidates(candidateList);
  CollectSoupKuids(asset, candidates);
  ReadKuidTable(asset.GetNamedSoup(Vocabulary::kTagKuidTable), candidates);
  for (const Qel::PString& tag : kSingleReferenceTags) {
    const KUID kuid = asset.GetNamedTagAsKUID(tag, KUID());
    if (!kuid.IsNull()) candidates.Append(kuid);
  }
  if (asset.GetNamedTag(Vocabulary::kTagKind).EqualsIgnoreCase("traincar") &&
      asset.GetNamedTagAsInt(kTagEngine, -1) == 1 &&
      asset.GetNamedTagAsKUID(kTagInterior, KUID()).IsNull()) {
    candidates.Append(kDefaultInteriorKUID);
  }

  KUIDList exclusionList;
  IndexedKUIDList exclusions(exclusionList);
  ReadKuidTable(asset.GetNamedSoup(Vocabulary::kTagObsoleteTable), exclusions);
  ReadKuidTable(asset.GetNamedSoup(Vocabulary::kTagOptionalKuidTable), exclusions);
  exclusions.Append(own);

  EraseFirstOccurrences(candidateList, exclusionList);
  for (const KUID& kuid : candidateList) out.AddUnique(kuid);
}

void CollectAssetReferences(const KUID& own, const Soup& asset, KUIDList& out) {
  IndexedKUIDList indexed(out);
  CollectAssetReferences(own, asset, indexed);
}

void CollectAssetObsoletes(const KUID& own, const Soup& asset, IndexedKUIDList& list) {
  ReadKuidTable(asset.GetNamedSoup(Vocabulary::kTagObsoleteTable), list);
  list.AddUnique(asset.GetNamedTagAsKUID(kTagObsoletesKuid, KUID()));
  list.EraseUnordered(own);
}

void CollectAssetObsoletes(const KUID& own, const Soup& asset, KUIDList& list) {
  IndexedKUIDList indexed(list);
  CollectAssetObsoletes(own, asset, indexed);
}

bool MergeKuidTable(Soup& config, const KUIDList& references) {
  Soup table = config.GetNamedSoup(Vocabulary::kTagKuidTable);
  bool modified = false;
  if (table.CountTags() == 0) {
    table = MakeKuidTable(references);
    modified = !references.IsEmpty();
  } else if (!references.IsEmpty()) {
    KUIDList existingList;
    IndexedKUIDList existing(existingList);
    ReadKuidTable(table, existing);
    i64 highest = -1;
    for (u32 i = 0; i < table.CountTags(); ++i) {
      highest = std::max(highest, ChildNumber(table.GetIndexedTagName(i).View()));
    }
    for (const KUID& kuid : references) {
      if (existing.Holds(kuid)) continue;
      table.SetNamedKUID(Qel::PString(std::to_string(++highest)), kuid);
      existing.Append(kuid);
      modified = true;
    }
  }
  config.SetNamedSoup(Vocabulary::kTagKuidTable, table);
  return modified;
}
