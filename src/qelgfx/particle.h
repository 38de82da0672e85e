// Scene objects: particles are named nodes with a reference frame (position and orientation
// relative to their parent) and children, which they own. Bones, attachment and reference points,
// view points and light targets are particles.
#pragma once

#include <memory>
#include <vector>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qelgfx/matrix4.h"
#include "qelgfx/quaternion.h"
#include "qelgfx/vector3.h"

namespace Qel {

class ViewPoint;

class Particle {
 public:
  Particle() = default;
  virtual ~Particle() = default;
  Particle(const Particle&) = delete;
  Particle& operator=(const Particle&) = delete;

  // The engine's particle kind; 0 for a plain particle.
  virtual u32 GetTypeID() const { return 0; }
  const PString& GetName() const { return name_; }
  void SetName(const PString& name) { name_ = name; }
  void SetReferenceFrame(const Vector3& position, const Quaternion& orientation) {
    position_ = position;
    orientation_ = orientation;
  }
  const Vector3& GetPosition() const { return position_; }
  const Quaternion& GetOrientation() const { return orientation_; }
  // Engine flag bits; bit 1 keeps a particle (and what hangs from it) out of the frame.
  u32 GetFlags() const { return flags_; }
  void SetFlags(u32 flags) { flags_ = flags; }

  // Takes ownership; false for null, for itself or for one of its own ancestors.
  bool Add(Particle* child);
  Particle* GetParent() const { return parent_; }
  u32 GetChildCount() const { return u32(children_.size()); }
  Particle* GetChild(u32 i) const { return i < children_.size() ? children_[i].get() : nullptr; }

  // This particle or the first in its tree, depth first, of that name (case ignored).
  Particle* FindByName(const PString& name);
  // A copy of this particle and its whole tree, without a parent.
  Particle* Clone() const;
  // Makes this particle, still without children, a copy of `source`: its name, frame, flags and
  // kind's own fields, and a copy of each of its children's trees.
  void InitInstance(const Particle& source);

  // Marks the particle seen in the view's frame at `world`, then its children at theirs; a
  // particle flagged out of the frame (bit 1) is skipped with what hangs from it.
  virtual void Cull(ViewPoint& view, const Matrix4& world);
  u32 GetLastCulledFrame() const { return lastCulledFrame_; }
  // Frame 0 makes it stale in every frame: culled, yet not to be drawn.
  void SetLastCulledFrame(u32 frame) { lastCulledFrame_ = frame; }
  // Where the last cull placed it.
  const Matrix4& GetWorldMatrix() const { return world_; }

  // The frame relative to the root of the tree, and back.
  void GetGlobalFrame(Vector3& position, Quaternion& orientation) const;
  void GlobalToLocal(Vector3& position, Quaternion& orientation) const;

 protected:
  virtual Particle* MakeEmpty() const { return new Particle; }
  virtual void CopyFrom(const Particle& other);

 private:
  PString name_;
  Vector3 position_;
  Quaternion orientation_;
  u32 flags_ = 0;
  u32 lastCulledFrame_ = 0;
  Matrix4 world_;
  Particle* parent_ = nullptr;
  std::vector<std::unique_ptr<Particle>> children_;
};

class ParticleBone : public Particle {
 public:
  void SetFramePosition(const Vector3& position) { framePosition_ = position; }
  void SetFrameOrientation(const Quaternion& orientation) { frameOrientation_ = orientation; }
  const Vector3& GetFramePosition() const { return framePosition_; }
  const Quaternion& GetFrameOrientation() const { return frameOrientation_; }
  void SetBox(const Vector3& minimum, const Vector3& maximum) {
    boxMin_ = minimum;
    boxMax_ = maximum;
  }
  const Vector3& GetBoxMin() const { return boxMin_; }
  const Vector3& GetBoxMax() const { return boxMax_; }

 protected:
  Particle* MakeEmpty() const override { return new ParticleBone; }
  void CopyFrom(const Particle& other) override;

 private:
  Vector3 framePosition_;
  Quaternion frameOrientation_;
  Vector3 boxMin_;
  Vector3 boxMax_;
};

// A particle that scales what hangs from it, while its scale is enabled: skinning scales the frame
// of a bone that follows it.
class ParticleScaled : public Particle {
 public:
  static constexpr u32 kTypeID = 23;
  u32 GetTypeID() const override { return kTypeID; }
  const Vector3& GetScale() const { return scale_; }
  void SetScale(const Vector3& scale) { scale_ = scale; }
  bool IsScaleDisabled() const { return scaleDisabled_; }
  void SetScaleDisabled(bool disabled) { scaleDisabled_ = disabled; }

 protected:
  Particle* MakeEmpty() const override { return new ParticleScaled; }
  void CopyFrom(const Particle& other) override;

 private:
  Vector3 scale_{1.0f, 1.0f, 1.0f};
  bool scaleDisabled_ = false;
};

// Splits a point's name at the first '.': the part before and the rest; without a '.', the
// whole name and the empty text.
void SplitSubNames(const String& name, String& first, String& rest);

class AttachmentPoint : public Particle {
 public:
  AttachmentPoint(const String& first, const String& rest) : first_(first), rest_(rest) {
    SetName(PString((rest.IsEmpty() ? first : first + "." + rest).View()));
  }
  static void GetSubNames(const String& name, String& first, String& rest) {
    SplitSubNames(name, first, rest);
  }
  const String& GetFirstName() const { return first_; }
  const String& GetRestName() const { return rest_; }

 protected:
  Particle* MakeEmpty() const override { return new AttachmentPoint(first_, rest_); }

 private:
  String first_;
  String rest_;
};

class ReferencePoint : public Particle {
 public:
  static void GetSubNames(const String& name, String& first, String& rest) {
    SplitSubNames(name, first, rest);
  }

 protected:
  Particle* MakeEmpty() const override { return new ReferencePoint; }
};

// The root of a placed object's particles, with its attachment points.
class ParticleStructure : public Particle {
 public:
  // With `underBone`, the point goes below the bone named by its first name part, when there is
  // one; otherwise below the structure. False when it goes nowhere (null, or no such bone).
  bool AddAttachmentPoint(AttachmentPoint* point, bool underBone);
  u32 GetAttachmentPointCount() const { return attachmentPoints_; }

 protected:
  Particle* MakeEmpty() const override { return new ParticleStructure; }
  void CopyFrom(const Particle& other) override;

 private:
  u32 attachmentPoints_ = 0;
};

}  // namespace Qel
