// What lights fall on: a scene object keeps the list of lights that reach it, gathered again
// from the scene's lights only when something marked it out of date.
#pragma once

#include "qel/types.h"
#include "qelgfx/render_inputs.h"

namespace Qel {

class GeometryChunk;
class Material;

class LightTarget {
 public:
  virtual ~LightTarget() = default;
  // Makes this target a copy of `source`: lit by the same scene lights, with the same list, out of
  // date when the source's is.
  void InitInstance(const LightTarget& source) {
    source_ = source.source_;
    lights_ = source.lights_;
    dirty_ = source.dirty_;
  }

  // The scene's lights (not owned; null for none). Changing them marks the list out of date.
  void SetLightSource(const LightList* lights) {
    source_ = lights;
    SetUpdateLighting(true);
  }
  bool HasLight() const { return !lights_.empty(); }
  const LightList& GetLightList() const { return lights_; }
  void MarkLightingDirty() { SetUpdateLighting(true); }
  // Marks the list out of date, or up to date; targets that light in parts mark every part.
  virtual void SetUpdateLighting(bool flag) { dirty_ = flag; }
  bool IsLightingDirty() const { return dirty_; }
  // Gathers the list again when it is out of date or `force` is given.
  virtual void UpdateLighting(bool force) = 0;
  // How often the list was gathered.
  u32 GetLightingCalculations() const { return calculations_; }

 protected:
  // The source's lights for the chunks drawn through their materials: none when no chunk with
  // faces has a material.
  void CalculateLighting(u32 chunkCount, GeometryChunk* const* chunks, Material* const* materials);
  void ClearLightingDirty() { dirty_ = false; }

 private:
  const LightList* source_ = nullptr;
  LightList lights_;
  bool dirty_ = true;
  u32 calculations_ = 0;
};

}  // namespace Qel
