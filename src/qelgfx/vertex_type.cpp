#include "qelgfx/vertex_type.h"

#include <cstring>
#include <deque>
#include <mutex>

namespace Qel {

u32 VertexItemSize(u32 item) {
  switch (item) {
    case kItemPosition:
    case kItemNormal:
    case kItemWeight3:
      return 12;
    case kItemWeight1:
    case kItemColour0:
    case kItemColour1:
    case kItemPackedWeights:
    case kItemBlendIndices:
      return 4;
    case kItemWeight2:
      return 8;
    case kItemWeight4:
    case kItemFaceNormal:
      return 16;
    default:
      return item >= kItemTexture0 && item < kItemTexture0 + 8 ? 8 : 0;
  }
}

VertexType::VertexType(u32 typeId) : id(typeId) {
  for (i32& offset : vertexItemOffset) offset = -1;
}

VertexType& VertexType::Add(u32 item) {
  if (item < kVertexItemLimit && vertexItemOffset[item] < 0 && VertexItemSize(item) > 0) {
    vertexItemOffset[item] = i32(size);
    size += VertexItemSize(item);
  }
  return *this;
}

namespace {

struct Registry {
  std::mutex mutex;
  std::deque<VertexType> types;  // stable addresses for Find
};

Registry& GetRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry;
    r->types.push_back(VertexType(18).Add(kItemPosition).Add(kItemNormal).Add(kItemTexture0));
    r->types.push_back(VertexType(19).Add(kItemPosition).Add(kItemColour0).Add(kItemTexture0));
    r->types.push_back(
        VertexType(20).Add(kItemPosition).Add(kItemNormal).Add(kItemTexture0).Add(kItemFaceNormal));
    return r;
  }();
  return *registry;
}

bool SameLayout(const VertexType& a, const VertexType& b) {
  return a.size == b.size &&
         std::memcmp(a.vertexItemOffset, b.vertexItemOffset, sizeof a.vertexItemOffset) == 0;
}

}  // namespace

const VertexType* VertexType::Find(u32 typeId) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (const VertexType& type : registry.types) {
    if (type.id == typeId) return &type;
  }
  return nullptr;
}

bool VertexType::Register(const VertexType& type) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (const VertexType& known : registry.types) {
    if (known.id == type.id) return SameLayout(known, type);
  }
  registry.types.push_back(type);
  return true;
}

const VertexType* VertexType::Intern(const VertexType& layout) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  u32 nextId = kFirstMadeId;
  for (const VertexType& known : registry.types) {
    if (known.id >= kFirstMadeId && SameLayout(known, layout)) return &known;
    if (known.id >= nextId) nextId = known.id + 1;
  }
  VertexType made = layout;
  made.id = nextId;
  registry.types.push_back(made);
  return &registry.types.back();
}

}  // namespace Qel
