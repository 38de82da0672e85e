#include "qelgfx/animation_definition.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "qel/config_parser.h"
#include "qel/file.h"
#include "qel/file_write.h"
#include "qel/memory_file.h"
#include "qelgfx/config_tokens.h"
#include "qelgfx/mesh_file_support.h"
#include "qelgfx/qirf_file.h"

namespace Qel {

namespace {

constexpr u32 kDamaged = 3;
constexpr u32 kVersion = 100;
// Frame, position and orientation.
constexpr u32 kKeyBytes = 4 + 12 + 16;
constexpr u32 kKeyValues = 8;
// The least a track can take: chunk header, the shortest padded string, key count, one key.
constexpr u32 kMinTrackBytes = 12 + 8 + 4 + kKeyBytes;

// Reads a chunk's header; false unless it has the tag and version and ends by `limit`.
bool EnterChunk(MemoryFile& memory, const char* tag, u32 limit, u32& end) {
  char found[4];
  u32 size = 0;
  u32 version = 0;
  if (!memory.Read(found, 4) || std::memcmp(found, tag, 4) != 0 || !memory.ReadU32(size) ||
      memory.GetPosition() > limit || size < 4 || size > limit - memory.GetPosition()) {
    return false;
  }
  end = memory.GetPosition() + size;
  return memory.ReadU32(version) && version == kVersion;
}

bool IsFinite(const Vector3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool IsFinite(const Quaternion& q) {
  return std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) && std::isfinite(q.w);
}

bool WriteKey(File& file, const AnimationKey& key) {
  const Vector3& p = key.position;
  const Quaternion& q = key.orientation;
  return WriteU32(file, key.frame) && WriteF32(file, p.x) && WriteF32(file, p.y) &&
         WriteF32(file, p.z) && WriteF32(file, q.x) && WriteF32(file, q.y) &&
         WriteF32(file, q.z) && WriteF32(file, q.w);
}

bool WriteTrack(File& file, const AnimationTrack& track) {
  if (!WriteTag(file, "TRAK")) return false;
  const u64 mark = MeshFileSupport::MarkSizePos(file);
  bool ok = mark != MeshFileSupport::kNoMark && WriteU32(file, kVersion) &&
            MeshFileSupport::WritePaddedString(file, track.bone.CStr()) &&
            WriteU32(file, u32(track.keys.size()));
  for (const AnimationKey& key : track.keys) ok = ok && WriteKey(file, key);
  return ok && MeshFileSupport::WriteSizeAtMark(file, mark);
}

// "frame, x,y,z, x,y,z,w" of a text key.
bool ReadTextKey(const String& text, AnimationKey& key) {
  f32 values[kKeyValues - 1] = {};
  u32 n = 0;
  const bool read = ForEachConfigToken(text, [&](const std::string& token) {
    if (n >= kKeyValues) return false;
    return n++ == 0 ? ParseConfigU32(token, key.frame) : ParseConfigFloat(token, values[n - 2]);
  });
  if (!read || n != kKeyValues) return false;
  key.position = Vector3(values[0], values[1], values[2]);
  key.orientation = Quaternion(values[3], values[4], values[5], values[6]);
  return true;
}

}  // namespace

bool AnimationDefinition::IsSound() const {
  if (frameCount_ > kMaxFrames || tracks_.size() > kMaxBones || !std::isfinite(frameRate_) ||
      frameRate_ <= 0.0f) {
    return false;
  }
  for (const AnimationTrack& track : tracks_) {
    if (track.bone.IsEmpty() || track.keys.empty()) return false;
    u32 next = 0;
    for (const AnimationKey& key : track.keys) {
      if (key.frame < next || key.frame >= frameCount_ || !IsFinite(key.position) ||
          !IsFinite(key.orientation)) {
        return false;
      }
      next = key.frame + 1;
    }
  }
  return true;
}

u32 AnimationDefinition::Read(MemoryFile& memory) {
  AnimationDefinition read;
  char magic[4];
  char tag[4];
  u32 length = 0;
  if (!memory.Read(magic, 4) || std::memcmp(magic, "QIRF", 4) != 0 || !memory.ReadU32(length) ||
      length < 4 || length > memory.GetBytesLeft() || !memory.Read(tag, 4) ||
      std::memcmp(tag, "KANM", 4) != 0) {
    return kDamaged;
  }
  const u32 bodyEnd = memory.GetPosition() - 4 + length;
  u32 end = 0;
  u32 boneCount = 0;
  if (!EnterChunk(memory, "INFO", bodyEnd, end) || end - memory.GetPosition() != 12 ||
      !memory.ReadU32(read.frameCount_) || !memory.ReadF32(read.frameRate_) ||
      !memory.ReadU32(boneCount)) {
    return kDamaged;
  }
  if (boneCount > kMaxBones || u64(boneCount) * kMinTrackBytes > bodyEnd - memory.GetPosition()) {
    return kDamaged;
  }
  read.tracks_.resize(boneCount);
  for (AnimationTrack& track : read.tracks_) {
    u32 keyCount = 0;
    if (!EnterChunk(memory, "TRAK", bodyEnd, end) ||
        !MeshFileSupport::ReadPaddedString(memory, track.bone) || !memory.ReadU32(keyCount) ||
        memory.GetPosition() > end || u64(keyCount) * kKeyBytes != end - memory.GetPosition()) {
      return kDamaged;
    }
    track.keys.resize(keyCount);
    for (AnimationKey& key : track.keys) {
      Vector3& p = key.position;
      Quaternion& q = key.orientation;
      memory.ReadU32(key.frame);
      for (f32* value : {&p.x, &p.y, &p.z, &q.x, &q.y, &q.z, &q.w}) memory.ReadF32(*value);
    }
  }
  if (memory.HasShortRead() || memory.GetPosition() != bodyEnd || !read.IsSound()) {
    return kDamaged;
  }
  *this = std::move(read);
  return 0;
}

bool AnimationDefinition::ReadText(const char* text, String& error) {
  ConfigParser parser;
  if (parser.ParseText(text != nullptr ? text : "") != ConfigParser::kParseOk) {
    error = parser.GetError();
    return false;
  }
  const ConfigData* data = parser.GetData();
  AnimationDefinition read;
  const ConfigData* frames = data != nullptr ? data->FindChild("frames") : nullptr;
  if (frames == nullptr || !ParseConfigU32(frames->GetValue().Std(), read.frameCount_)) {
    error = "\"frames\" must be a count";
    return false;
  }
  const ConfigData* rate = data->FindChild("rate");
  if (rate != nullptr && !ParseConfigFloat(rate->GetValue().Std(), read.frameRate_)) {
    error = "\"rate\" must be a number";
    return false;
  }
  if (const ConfigData* bones = data->FindChild("bones")) {
    for (u32 i = 0; i < bones->GetChildCount() && read.tracks_.size() <= kMaxBones; ++i) {
      const ConfigData& bone = bones->GetChild(i);
      if (!bone.GetKey().EqualsIgnoreCase("bone")) {
        error = String::Format("\"bones\" holds only \"bone\" items, not \"%s\"", bone.GetKey().CStr());
        return false;
      }
      AnimationTrack& track = read.tracks_.emplace_back();
      track.bone = bone.GetValue();
      for (u32 k = 0; k < bone.GetChildCount() && track.keys.size() <= kMaxFrames; ++k) {
        const ConfigData& key = bone.GetChild(k);
        if (!key.GetKey().EqualsIgnoreCase("key") || !ReadTextKey(key.GetValue(), track.keys.emplace_back())) {
          error = String::Format("bone \"%s\": a key is a frame and seven numbers",
                                 track.bone.CStr());
          return false;
        }
      }
    }
  }
  if (!read.IsSound()) {
    error = "every bone needs a name and keys in rising frame order below \"frames\" (at most "
            "1,048,576), at most 1,024 bones, and \"rate\" above 0";
    return false;
  }
  *this = std::move(read);
  return true;
}

bool AnimationDefinition::Write(const char* path) const {
  if (!IsSound()) return false;
  bool written = false;
  {
    QIRFFile file;
    if (file.Open(path) == 0) {
      File& out = file.GetFile();
      QIRFWriteHeader header(file, kAnimationBodyTag);
      written = header.IsOk() && WriteTag(out, "INFO") && WriteU32(out, 16) &&
                WriteU32(out, kVersion) && WriteU32(out, frameCount_) &&
                WriteF32(out, frameRate_) && WriteU32(out, u32(tracks_.size()));
      for (const AnimationTrack& track : tracks_) written = written && WriteTrack(out, track);
      written = written && header.Finish();
      file.Close();
    }
  }
  if (!written) std::remove(path);
  return written;
}

}  // namespace Qel
