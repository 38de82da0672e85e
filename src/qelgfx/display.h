// The null display: it draws nothing, but answers capability questions as it is told and appends
// every state change and draw to a trace that tests read. Static buffers are CPU memory; program
// and combiner texts are stored and answered by handle.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/default_init_allocator.h"
#include "qelgfx/display_material.h"
#include "qelgfx/matrix4.h"

namespace Qel {

class Texture;
struct VertexType;

// A static vertex or index buffer: `count` records of `stride` bytes. One made for an upload
// that follows at once is not zeroed first; the upload defines every byte.
struct StaticBuffer {
  StaticBuffer(u32 recordCount, u32 recordStride, bool zeroed = true)
      : count(recordCount), stride(recordStride), bytes(size_t(recordCount) * recordStride) {
    if (zeroed) std::fill(bytes.begin(), bytes.end(), u8(0));
  }
  u32 count;
  u32 stride;
  std::vector<u8, DefaultInitAllocator<u8>> bytes;
  bool dirty = true;
};
using StaticBufferPtr = std::shared_ptr<StaticBuffer>;

class Display {
 public:
  static constexpr u32 kCapabilityLimit = 64;
  // The display the program brings up: capabilities 1, 17 and 21, two texture stages.
  static std::unique_ptr<Display> CreateModest();

  Display() = default;
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  bool GetCapability(u32 capability) const;
  void SetCapability(u32 capability, bool present);
  u32 GetTextureStageCount() const { return textureStages_; }
  void SetTextureStageCount(u32 count) { textureStages_ = count; }

  // Display state; each call is traced.
  void SetAlphaTestMode(bool on);
  void SetAlphaBlendMode(bool on);
  void SetDepthWriteMode(bool on);
  void SetAlphaBlendFunction(u32 source, u32 destination);
  void GetAlphaBlendFunction(u32& source, u32& destination) const;
  bool GetAlphaBlendMode() const;
  bool GetAlphaTestMode() const;
  void SetFogMode(u32 mode);
  u32 GetFogMode() const;
  void SetCullMode(u32 mode);
  void SetColorMaterialMode(u32 mode);
  // Stage state: a reset stage has no texture, combiner input or coordinate generation.
  void ResetTextureStage(u32 stage);
  // Null resets the stage's matrix to identity.
  void SetTextureMatrix(u32 stage, const Matrix4* matrix);
  void SetTextureCoordGen(u32 stage, u32 source, u32 mode);
  // Combiners and programs by handle; 0 unbinds or disables.
  void BindCombiner(u32 handle);
  void SetCombinerConstant(u32 index, const ColourValue& colour);
  void SetPixelProgram(u32 handle);
  void SetVertexConstant(u32 index, const Vector3& value);
  // The material colours lighting uses, with the opacity the draw takes.
  void SetLighting(const DisplayMaterial& material, f32 opacity);
  void SetWorldTransform(const Matrix4& world);
  const ColourValue& GetGlobalAmbient() const { return globalAmbient_; }
  void SetGlobalAmbient(const ColourValue& ambient) { globalAmbient_ = ambient; }
  void SetFogDensity(f32 density);
  void SetTexture(u32 stage, const Texture* texture);
  void SetVertexType(const VertexType* type);
  void SetProgram(u32 handle);
  void DrawIndexedPrimitive(u32 primitive, u32 vertexCount, u32 indexCount);
  // Any other traced event (lighting, skinning, cache passes).
  void Trace(const String& entry);
  // The trace keeps the most recent entries only, so that a long run (a command host loading mesh
  // after mesh) does not grow it without bound.
  static constexpr size_t kTraceLimit = 65536;

  std::vector<String> GetTrace() const;
  void ClearTrace();

  // Null for a zero count or stride. Without `zeroed` the caller uploads into it at once.
  StaticBufferPtr CreateStaticVertexBuffer(u32 count, u32 stride, bool zeroed = true);
  StaticBufferPtr CreateIndexBuffer(u32 count, bool zeroed = true);
  // The buffer manager's copy: `count` records from `source` to the start of the buffer, the
  // records after them zeroed. The number of records copied, or -1 when they do not fit.
  i32 CopyToBuffer(StaticBuffer& buffer, const void* source, u32 count);

  // Programs by name: registering a name again replaces its text and keeps its handle. Handles
  // start at 1; 0 is none.
  u32 RegisterProgram(const PString& name, const String& text);
  u32 LookupProgram(const PString& name) const;
  const String* GetProgramText(u32 handle) const;
  void UnregisterProgram(const PString& name);
  // Combiners are anonymous: each creation is a new handle until it is released.
  u32 CreateCombiner(const String& text);
  bool ReleaseCombiner(u32 handle);
  u32 GetCombinerCount() const;

 private:
  mutable std::mutex mutex_;
  bool capabilities_[kCapabilityLimit] = {};
  u32 textureStages_ = 1;
  u32 blendSource_ = 1;
  u32 blendDestination_ = 0;
  bool blendMode_ = false;
  bool alphaTest_ = false;
  u32 fogMode_ = 0;
  ColourValue globalAmbient_;
  std::deque<String> trace_;
  std::map<PString, std::pair<u32, String>> programs_;
  std::map<u32, String> combiners_;
  u32 nextHandle_ = 1;
};

}  // namespace Qel
