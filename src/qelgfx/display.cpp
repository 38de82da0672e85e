#include "qelgfx/display.h"

#include <cstring>

#include "qelgfx/texture.h"
#include "qelgfx/vertex_type.h"

namespace Qel {

std::unique_ptr<Display> Display::CreateModest() {
  auto display = std::make_unique<Display>();
  for (u32 capability : {1u, 17u, 21u}) display->SetCapability(capability, true);
  display->SetTextureStageCount(2);
  return display;
}

bool Display::GetCapability(u32 capability) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return capability < kCapabilityLimit && capabilities_[capability];
}

void Display::SetCapability(u32 capability, bool present) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (capability < kCapabilityLimit) capabilities_[capability] = present;
}

void Display::Trace(const String& entry) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (trace_.size() >= kTraceLimit) trace_.pop_front();
  trace_.push_back(entry);
}

std::vector<String> Display::GetTrace() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return {trace_.begin(), trace_.end()};
}

void Display::ClearTrace() {
  std::lock_guard<std::mutex> guard(mutex_);
  trace_.clear();
}

void Display::SetAlphaTestMode(bool on) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    alphaTest_ = on;
  }
  Trace(String::Format("AlphaTest %d", on));
}

void Display::SetAlphaBlendMode(bool on) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    blendMode_ = on;
  }
  Trace(String::Format("AlphaBlend %d", on));
}

bool Display::GetAlphaBlendMode() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return blendMode_;
}

bool Display::GetAlphaTestMode() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return alphaTest_;
}

void Display::SetDepthWriteMode(bool on) { Trace(String::Format("DepthWrite %d", on)); }

void Display::SetAlphaBlendFunction(u32 source, u32 destination) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    blendSource_ = source;
    blendDestination_ = destination;
  }
  Trace(String::Format("BlendFunction %u %u", source, destination));
}

void Display::GetAlphaBlendFunction(u32& source, u32& destination) const {
  std::lock_guard<std::mutex> guard(mutex_);
  source = blendSource_;
  destination = blendDestination_;
}

void Display::SetFogMode(u32 mode) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    fogMode_ = mode;
  }
  Trace(String::Format("FogMode %u", mode));
}

u32 Display::GetFogMode() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return fogMode_;
}

void Display::SetCullMode(u32 mode) { Trace(String::Format("CullMode %u", mode)); }
void Display::SetColorMaterialMode(u32 mode) { Trace(String::Format("ColorMaterial %u", mode)); }
void Display::ResetTextureStage(u32 stage) { Trace(String::Format("ResetStage %u", stage)); }

void Display::SetTextureMatrix(u32 stage, const Matrix4* matrix) {
  if (!matrix) {
    Trace(String::Format("TextureMatrix %u identity", stage));
    return;
  }
  String entry = String::Format("TextureMatrix %u", stage);
  for (const auto& row : matrix->m) {
    for (f32 value : row) entry += String::Format(" %g", value);
  }
  Trace(entry);
}

void Display::SetTextureCoordGen(u32 stage, u32 source, u32 mode) {
  Trace(String::Format("TexCoordGen %u %u %u", stage, source, mode));
}

void Display::BindCombiner(u32 handle) { Trace(String::Format("Combiner %u", handle)); }

void Display::SetCombinerConstant(u32 index, const ColourValue& c) {
  Trace(String::Format("CombinerConstant %u %g %g %g %g", index, c.r, c.g, c.b, c.a));
}

void Display::SetPixelProgram(u32 handle) { Trace(String::Format("PixelProgram %u", handle)); }

void Display::SetVertexConstant(u32 index, const Vector3& v) {
  Trace(String::Format("VertexConstant %u %g %g %g", index, v.x, v.y, v.z));
}

void Display::SetLighting(const DisplayMaterial& m, f32 opacity) {
  Trace(String::Format("Lighting ambient %g %g %g specular %g %g %g opacity %g", m.ambient.r,
                       m.ambient.g, m.ambient.b, m.specular.r, m.specular.g, m.specular.b,
                       opacity));
}

void Display::SetWorldTransform(const Matrix4& world) {
  Trace(String::Format("World %g %g %g", world.m[3][0], world.m[3][1], world.m[3][2]));
}
void Display::SetFogDensity(f32 density) { Trace(String::Format("FogDensity %g", density)); }

void Display::SetTexture(u32 stage, const Texture* texture) {
  Trace(String::Format("Texture %u %s", stage, texture ? texture->GetName().CStr() : "-"));
}

void Display::SetVertexType(const VertexType* type) {
  Trace(String::Format("VertexType %u", type ? type->id : 0));
}

void Display::SetProgram(u32 handle) { Trace(String::Format("Program %u", handle)); }

void Display::DrawIndexedPrimitive(u32 primitive, u32 vertexCount, u32 indexCount) {
  Trace(String::Format("Draw %u %u %u", primitive, vertexCount, indexCount));
}

StaticBufferPtr Display::CreateStaticVertexBuffer(u32 count, u32 stride, bool zeroed) {
  if (count == 0 || stride == 0) return nullptr;
  Trace(String::Format("CreateVertexBuffer %u %u", count, stride));
  return std::make_shared<StaticBuffer>(count, stride, zeroed);
}

StaticBufferPtr Display::CreateIndexBuffer(u32 count, bool zeroed) {
  if (count == 0) return nullptr;
  Trace(String::Format("CreateIndexBuffer %u", count));
  return std::make_shared<StaticBuffer>(count, u32(sizeof(u16)), zeroed);
}

i32 Display::CopyToBuffer(StaticBuffer& buffer, const void* source, u32 count) {
  if (count > buffer.count || (count > 0 && source == nullptr)) return -1;
  const size_t copied = size_t(count) * buffer.stride;
  if (count > 0) std::memcpy(buffer.bytes.data(), source, copied);
  std::fill(buffer.bytes.begin() + copied, buffer.bytes.end(), u8(0));
  buffer.dirty = false;
  return i32(count);
}

u32 Display::RegisterProgram(const PString& name, const String& text) {
  if (name.IsEmpty()) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  auto& entry = programs_[name];
  if (entry.first == 0) entry.first = nextHandle_++;
  entry.second = text;
  return entry.first;
}

u32 Display::LookupProgram(const PString& name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = programs_.find(name);
  return found == programs_.end() ? 0 : found->second.first;
}

const String* Display::GetProgramText(u32 handle) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& [name, entry] : programs_) {
    if (entry.first == handle) return &entry.second;
  }
  return nullptr;
}

void Display::UnregisterProgram(const PString& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  programs_.erase(name);
}

u32 Display::CreateCombiner(const String& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  const u32 handle = nextHandle_++;
  combiners_[handle] = text;
  return handle;
}

bool Display::ReleaseCombiner(u32 handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  return combiners_.erase(handle) > 0;
}

u32 Display::GetCombinerCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return u32(combiners_.size());
}

}  // namespace Qel
