// An animation (".kin"): the bones it moves, by name, a frame count and rate, and per bone its
// keyframes. The file is QIRF-framed like the other engine files, with the body tag "KANM":
//
//   "INFO" version 100      u32 frame count, f32 frames per second, u32 bone count
//   "TRAK" version 100      one per bone: a padded string (the bone's name), u32 key count, then
//                           per key u32 frame, f32 position x, y, z, f32 orientation x, y, z, w
//
// Chunks are tag, u32 size (the bytes after the size field, the version included), u32 version.
// A file is read only when every part of it is sound: sizes end inside the body, counts fit the
// bytes left before anything is allocated (at most 1,024 bones and 1,048,576 frames), each track
// has at least one key, and its keys run in rising frame order below the frame count.
//
// The text form, which `meshtool kin-save` turns into a file, is configuration text:
//
//   frames 30                           the frame count
//   rate 30                             frames per second
//   bones
//   {
//     bone "arm"
//     {
//       key 0, 0,0,0, 0,0,0,1           frame, position x,y,z, orientation x,y,z,w
//       key 29, 0,1,0, 0,0,0,1
//     }
//   }
#pragma once

#include <vector>

#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/quaternion.h"
#include "qelgfx/vector3.h"

namespace Qel {

class MemoryFile;

// The body tag's four bytes on disk are "KANM".
inline constexpr u32 kAnimationBodyTag = 0x4D4E414B;

struct AnimationKey {
  u32 frame = 0;
  Vector3 position;
  Quaternion orientation;
};

struct AnimationTrack {
  String bone;
  std::vector<AnimationKey> keys;
};

class AnimationDefinition {
 public:
  static constexpr u32 kMaxBones = 1024;
  static constexpr u32 kMaxFrames = 1u << 20;

  // 0 when the whole file was read; 3 (nothing kept) when it is short or unsound.
  u32 Read(MemoryFile& memory);
  // The text form; false with the first fault in `error` (nothing kept then).
  bool ReadText(const char* text, String& error);
  // False when the definition is unsound or the file could not be written whole; nothing is
  // left at the path then.
  bool Write(const char* path) const;

  // No observer could follow it: no frames or no bones.
  bool IsEmpty() const { return frameCount_ == 0 || tracks_.empty(); }
  u32 GetFrameCount() const { return frameCount_; }
  f32 GetFrameRate() const { return frameRate_; }
  const std::vector<AnimationTrack>& GetTracks() const { return tracks_; }

 private:
  // The rules a file must keep, for what was read or is about to be written.
  bool IsSound() const;

  u32 frameCount_ = 0;
  f32 frameRate_ = 30.0f;
  std::vector<AnimationTrack> tracks_;
};

}  // namespace Qel
