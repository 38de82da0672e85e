#include "qelgfx/particle.h"

#include "qelgfx/view_point.h"

namespace Qel {

bool Particle::Add(Particle* child) {
  if (!child) return false;
  for (const Particle* p = this; p; p = p->parent_) {
    if (p == child) return false;  // the tree must stay a tree
  }
  if (child->parent_) {
    auto& siblings = child->parent_->children_;
    for (auto& owned : siblings) {
      if (owned.get() == child) {
        owned.release();
        break;
      }
    }
    std::erase(siblings, nullptr);
  }
  child->parent_ = this;
  children_.emplace_back(child);
  return true;
}

void Particle::Cull(ViewPoint& view, const Matrix4& world) {
  lastCulledFrame_ = view.GetFrame();
  world_ = world;
  for (auto& child : children_) {
    if (child->GetFlags() & 0x2) continue;
    const Matrix4 local =
        Matrix4::FromTransformation({child->GetOrientation(), child->GetPosition()});
    child->Cull(view, local * world);
  }
}

Particle* Particle::FindByName(const PString& name) {
  if (name_.EqualsIgnoreCase(name)) return this;
  for (auto& child : children_) {
    if (Particle* found = child->FindByName(name)) return found;
  }
  return nullptr;
}

void Particle::CopyFrom(const Particle& other) {
  name_ = other.name_;
  position_ = other.position_;
  orientation_ = other.orientation_;
  flags_ = other.flags_;
}

Particle* Particle::Clone() const {
  Particle* copy = MakeEmpty();
  copy->InitInstance(*this);
  return copy;
}

void Particle::InitInstance(const Particle& source) {
  CopyFrom(source);
  for (const auto& child : source.children_) Add(child->Clone());
}

void Particle::GetGlobalFrame(Vector3& position, Quaternion& orientation) const {
  position = position_;
  orientation = orientation_;
  for (const Particle* p = parent_; p; p = p->parent_) {
    position = p->orientation_.Rotate(position) + p->position_;
    orientation = p->orientation_ * orientation;
  }
}

void Particle::GlobalToLocal(Vector3& position, Quaternion& orientation) const {
  Vector3 framePosition;
  Quaternion frameOrientation;
  GetGlobalFrame(framePosition, frameOrientation);
  const Quaternion inverse = frameOrientation.Conjugate();
  position = inverse.Rotate(position - framePosition);
  orientation = inverse * orientation;
}

void ParticleScaled::CopyFrom(const Particle& other) {
  Particle::CopyFrom(other);
  if (const auto* scaled = dynamic_cast<const ParticleScaled*>(&other)) {
    scale_ = scaled->scale_;
    scaleDisabled_ = scaled->scaleDisabled_;
  }
}

void ParticleBone::CopyFrom(const Particle& other) {
  Particle::CopyFrom(other);
  if (const auto* bone = dynamic_cast<const ParticleBone*>(&other)) {
    framePosition_ = bone->framePosition_;
    frameOrientation_ = bone->frameOrientation_;
    boxMin_ = bone->boxMin_;
    boxMax_ = bone->boxMax_;
  }
}

void SplitSubNames(const String& name, String& first, String& rest) {
  const size_t dot = name.FindChar('.');
  first = dot == String::npos ? name : name.SubString(0, dot);
  rest = dot == String::npos ? String() : name.SubString(dot + 1);
}

void ParticleStructure::CopyFrom(const Particle& other) {
  Particle::CopyFrom(other);
  if (const auto* structure = dynamic_cast<const ParticleStructure*>(&other)) {
    attachmentPoints_ = structure->attachmentPoints_;
  }
}

bool ParticleStructure::AddAttachmentPoint(AttachmentPoint* point, bool underBone) {
  if (!point) return false;
  Particle* parent = this;
  if (underBone) {
    parent = nullptr;
    for (u32 i = 0; i < GetChildCount() && !parent; ++i) {
      parent = GetChild(i)->FindByName(PString(point->GetFirstName().View()));
    }
    if (!parent) return false;
  }
  if (!parent->Add(point)) return false;
  ++attachmentPoints_;
  return true;
}

}  // namespace Qel
