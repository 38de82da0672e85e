// The debug viewport the mesh plug-ins give to the engine: it accepts every debug drawing request
// and discards it, so collision and tree code may draw unconditionally.
#pragma once

#include "qel/types.h"
#include "qelgfx/vector3.h"

class KQDebugVp {
 public:
  // A two-point primitive record, as draw-segment hands it to draw-primitive.
  struct Primitive {
    Qel::Vector3 points[2];
    u32 value;
    u16 indices[2];
  };

  KQDebugVp();
  virtual ~KQDebugVp();
  KQDebugVp(const KQDebugVp&) = delete;
  KQDebugVp& operator=(const KQDebugVp&) = delete;

  virtual bool IsEnabled() const { return enabled_; }
  virtual void Begin() {}
  virtual void Hook() {}
  virtual void Hook(void* argument) { (void)argument; }
  virtual void DrawPrimitive(const void* points, u32 pointCount, const u16* indices, u32 indexCount,
                             u32 value, u32 flags);
  virtual void DrawSegment(const Qel::Vector3& from, const Qel::Vector3& to, u32 value);
  virtual void DrawExtra(const void* argument) { (void)argument; }
  virtual void DrawText(const char* text) { (void)text; }

  bool IsReady() const { return ready_; }

  // The program-wide instance, made by a static initialiser.
  static KQDebugVp& Get();

 private:
  bool enabled_ = true;
  bool ready_ = false;
};
