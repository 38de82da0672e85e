// Vertex layouts: which items a vertex record holds and where. Item numbers are the engine's;
// an offset of -1 means the layout has no such item.
#pragma once

#include "qel/types.h"

namespace Qel {

enum VertexItem : u32 {
  kItemPosition = 1,
  kItemColour0 = 2,  // the first (diffuse) colour
  kItemColour1 = 3,  // the second (specular) colour
  kItemNormal = 4,
  kItemWeight1 = 5,  // one to four float blend weights
  kItemWeight2 = 6,
  kItemWeight3 = 7,
  kItemWeight4 = 8,
  kItemPackedWeights = 9,  // four weights as bytes of a u32
  kItemBlendIndices = 10,  // four matrix-index bytes of a u32
  kItemTexture0 = 15,      // texture sets 0 to 7 are items 15 to 22
  kItemFaceNormal = 27,    // the tangent of packed bump vertices
  kVertexItemLimit = 28,
};

// Bytes one item takes in a record.
u32 VertexItemSize(u32 item);

struct VertexType {
  u32 id = 0;
  u32 size = 0;
  i32 vertexItemOffset[kVertexItemLimit];

  // A layout with no items yet.
  explicit VertexType(u32 typeId);
  // Appends an item at the end of the record.
  VertexType& Add(u32 item);
  bool Has(u32 item) const { return item < kVertexItemLimit && vertexItemOffset[item] >= 0; }

  // The registered layout of that id, or null. The packed layouts 18 (PNT), 19 (PCT) and 20
  // (PNTA) are always there.
  static const VertexType* Find(u32 typeId);
  // False when the id is taken by a different layout.
  static bool Register(const VertexType& type);
  // The registered layout with these items at these offsets, registered under a fresh id (from
  // kFirstMadeId) when there is none.
  static const VertexType* Intern(const VertexType& layout);
  static constexpr u32 kFirstMadeId = 1000;
};

}  // namespace Qel
