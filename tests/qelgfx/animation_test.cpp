// Animations on a mesh's skeleton: the ".kin" file read back as written, the answers the animator
// gives for each kind of file, and hostile files that must end as "damaged", never as a crash.
#include "qelgfx/animation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qel/memory_file.h"
#include "qel/resource_database.h"
#include "qelgfx/animation_definition.h"
#include "qelgfx/particle.h"
#include "support/scratch_folder.h"

namespace {

using Qel::AnimationDefinition;
using Qel::Animator;

// Two bones, "Arm" and "hand", moved over 30 frames.
constexpr const char* kArm = R"(
frames 30
rate 25
bones
{
  bone "Arm"
  {
    key 0, 0,0,0, 0,0,0,1
    key 29, 0,1,0, 0,0,0.5,0.5
  }
  bone "hand"
  {
    key 3, 1 2 3 0 0 0 1
  }
}
)";

class AnimationTest : public ::testing::Test {
 protected:
  // The bytes of the text form written as a file.
  std::string Kin(const char* text) {
    AnimationDefinition definition;
    Qel::String error;
    EXPECT_TRUE(definition.ReadText(text, error)) << error.Std();
    const std::string path = folder_.At("written.kin");
    EXPECT_TRUE(definition.Write(path.c_str()));
    return folder_.Read("written.kin");
  }
  static u32 Read(const std::string& bytes, AnimationDefinition& definition) {
    Qel::MemoryFile memory(bytes.data(), u32(bytes.size()));
    return definition.Read(memory);
  }

  scratch::Folder folder_;
};

TEST_F(AnimationTest, AFileReadsBackAsWritten) {
  AnimationDefinition definition;
  ASSERT_EQ(Read(Kin(kArm), definition), 0u);
  EXPECT_EQ(definition.GetFrameCount(), 30u);
  EXPECT_EQ(definition.GetFrameRate(), 25.0f);
  ASSERT_EQ(definition.GetTracks().size(), 2u);
  const Qel::AnimationTrack& arm = definition.GetTracks()[0];
  EXPECT_EQ(arm.bone.Std(), "Arm");
  ASSERT_EQ(arm.keys.size(), 2u);
  EXPECT_EQ(arm.keys[1].frame, 29u);
  EXPECT_EQ(arm.keys[1].position.y, 1.0f);
  EXPECT_EQ(arm.keys[1].orientation.z, 0.5f);
  EXPECT_EQ(definition.GetTracks()[1].keys[0].position.z, 3.0f);
}

TEST_F(AnimationTest, TheAnimatorAnswersForEachKindOfFile) {
  // A mesh whose skeleton has the bones "arm" and "Hand".
  Qel::Particle mesh;
  auto* arm = new Qel::ParticleBone;
  arm->SetName(Qel::PString("arm"));
  auto* hand = new Qel::ParticleBone;
  hand->SetName(Qel::PString("Hand"));
  auto* point = new Qel::Particle;  // not a bone
  point->SetName(Qel::PString("lamp"));
  ASSERT_TRUE(mesh.Add(arm) && arm->Add(hand) && mesh.Add(point));
  const Qel::SkeletonModifier skeleton(mesh);
  EXPECT_EQ(skeleton.GetBoneCount(), 2u);

  const std::string good = Kin(kArm);
  folder_.Put("good.kin", good);
  folder_.Put("lamp.kin", Kin("frames 2\nbones\n{\n  bone \"lamp\"\n  {\n    key 1, 0,0,0, 0,0,0,1\n  }\n}\n"));
  folder_.Put("empty.kin", Kin("frames 0\n"));
  folder_.Put("still.kin", Kin("frames 10\n"));
  folder_.Put("cut.kin", good.substr(0, good.size() - 1));
  folder_.Put("noise.kin", std::string(64, '\x5a'));
  const Qel::ResourceDatabase database("anims", folder_.path().c_str());
  Animator animator(&database, &skeleton);
  const struct {
    const char* file;
    u32 answer;
  } cases[] = {{"GOOD.kin", Animator::kAdded},          {"lamp.kin", Animator::kBoneMissing},
               {"empty.kin", Animator::kNothingToPlay}, {"still.kin", Animator::kNothingToPlay},
               {"cut.kin", Animator::kNotLoaded},       {"noise.kin", Animator::kNotLoaded},
               {"none.kin", Animator::kNotLoaded},      {"../good.kin", Animator::kNotLoaded}};
  for (const auto& c : cases) {
    EXPECT_EQ(animator.Add(nullptr, Qel::PString(c.file), 5, {1, 0, 1, 0, 0, 1}), c.answer)
        << c.file;
  }
  EXPECT_EQ(animator.GetAnimationCount(), 1u);
  // Without a skeleton every bone is missing.
  EXPECT_EQ(Animator(&database, nullptr).Add(nullptr, Qel::PString("good.kin"), 5, {}),
            Animator::kBoneMissing);

  const std::unique_ptr<Qel::AnimationModifier> modifier(
      Qel::AnimationModifier::CreateInstance(&database, Qel::PString("good.kin"), 5));
  ASSERT_NE(modifier, nullptr);
  EXPECT_EQ(modifier->GetFrameCount(), 30u);
  EXPECT_EQ(Qel::AnimationModifier::CreateInstance(&database, Qel::PString("noise.kin"), 5),
            nullptr);
}

// Every cut of a good file, every single byte changed in its framing, and counts far beyond the
// bytes are refused without reading or allocating past the file.
TEST_F(AnimationTest, HostileFilesAreDamaged) {
  const std::string good = Kin(kArm);
  AnimationDefinition definition;
  for (size_t size = 0; size < good.size(); ++size) {
    EXPECT_EQ(Read(good.substr(0, size), definition), 3u) << size;
  }
  std::vector<std::string> hostile;
  const auto patched = [&](size_t at, u32 value) {
    std::string bytes = good;
    for (int i = 0; i < 4; ++i) bytes[at + i] = char(value >> (8 * i));
    return bytes;
  };
  hostile.push_back(patched(4, 0xFFFFFFFF));   // body length
  hostile.push_back(patched(16, 0xFFFFFFFF));  // INFO size
  hostile.push_back(patched(24, 0xFFFFFFFF));  // frame count
  hostile.push_back(patched(28, 0x7FC00000));  // a rate that is not a number
  hostile.push_back(patched(32, 0xFFFFFFFF));  // bone count
  hostile.push_back(patched(32, 3));           // one bone more than the body holds
  hostile.push_back(patched(40, 0xFFFFFFFF));  // TRAK size
  hostile.push_back(patched(44, 101));         // TRAK version
  hostile.push_back(patched(24, 10));          // keys past the frame count
  hostile.push_back(patched(4, u32(good.size() - 8 + 4)) + "tail");  // bytes after the tracks
  for (size_t i = 0; i < hostile.size(); ++i) {
    EXPECT_EQ(Read(hostile[i], definition), 3u) << i;
  }
  // A failed read keeps nothing.
  EXPECT_EQ(definition.GetFrameCount(), 0u);
  EXPECT_TRUE(definition.GetTracks().empty());
}

TEST_F(AnimationTest, FaultyTextIsRefusedWithItsReason) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"rate 30\n", "\"frames\""},
      {"frames -1\n", "\"frames\""},
      {"frames 3\nrate fast\n", "\"rate\""},
      {"frames 3\nrate 0\n", "above 0"},
      {"frames 3\nbones\n{\n  arm\n}\n", "\"bone\""},
      {"frames 3\nbones\n{\n  bone \"a\"\n  {\n    key 1, 0,0,0\n  }\n}\n", "bone \"a\""},
      {"frames 3\nbones\n{\n  bone \"a\"\n  {\n    key 2, 0,0,0, 0,0,0,1\n    key 1, 0,0,0, 0,0,0,1\n  }\n}\n",
       "rising"},
      {"frames 3\nbones\n{\n  bone \"a\"\n}\n", "keys"},
  };
  for (const auto& c : cases) {
    AnimationDefinition definition;
    Qel::String error;
    EXPECT_FALSE(definition.ReadText(c.text, error)) << c.text;
    EXPECT_NE(error.Std().find(c.reason), std::string::npos) << c.text << ": " << error.Std();
  }
}

}  // namespace
