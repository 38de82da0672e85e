#include "mesh/kq_debug_vp.h"

KQDebugVp::KQDebugVp() { ready_ = true; }

KQDebugVp::~KQDebugVp() { ready_ = false; }

void KQDebugVp::DrawPrimitive(const void* points, u32 pointCount, const u16* indices,
                              u32 indexCount, u32 value, u32 flags) {
  // Nothing is drawn: there is no display for debug geometry.
  (void)points, (void)pointCount, (void)indices, (void)indexCount, (void)value, (void)flags;
}

void KQDebugVp::DrawSegment(const Qel::Vector3& from, const Qel::Vector3& to, u32 value) {
  const Primitive segment{{from, to}, value, {0, 1}};
  DrawPrimitive(segment.points, 2, segment.indices, 2, segment.value, 0);
}

KQDebugVp& KQDebugVp::Get() {
  static KQDebugVp instance;
  return instance;
}
