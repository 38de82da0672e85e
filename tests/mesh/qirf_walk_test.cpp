// The chunk walk of the inspection tool against the mesh readers: every file a reader loads walks
// whole, with its nested chunks where the body puts them and nowhere else.
#include "mesh/qirf_walk.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "mesh/lod_fixture.h"
#include "mesh/mesh_load_result.h"
#include "support/scratch_folder.h"

namespace {

using fixture::Bytes;
using fixture::MeshSpec;
using fixture::Quad;
using fixture::ResourceScene;
using fixture::WriteMesh;

// The exit code of a built tool run on one file, its output dropped.
int RunTool(const std::string& tool, const std::string& path) {
  const std::string command =
      std::string(KESTRO_BINARY_DIR) + "/" + tool + " '" + path + "' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Walk {
  QIRFWalkResult result;
  std::vector<std::string> tree;  // "tag@depth", in file order
};

Walk WalkBytes(const std::string& bytes) {
  Walk walk;
  walk.result = WalkQIRF(reinterpret_cast<const u8*>(bytes.data()), u32(bytes.size()),
                         [&](const QIRFWalkEntry& e) {
                           walk.tree.push_back(std::string(e.tag) + "@" + std::to_string(e.depth));
                         });
  return walk;
}

// One triangle: six bytes of indices leave what follows off a 4-byte boundary.
fixture::ChunkSpec Triangle(const char* material) {
  fixture::ChunkSpec c = Quad(0, material);
  c.vertices.pop_back();
  c.indices = {0, 1, 2};
  return c;
}

// A mesh whose SKEL (root "b.root" with the child "b.arm") follows the chunks; the bone names are
// padded to the file's 4-byte boundaries wherever the skeleton starts.
std::string WithSkeleton(MeshSpec spec) {
  const size_t start = WriteMesh(spec).size();
  Bytes skel;
  skel.out.assign(start % 4, '\0');  // the offset the padding counts from
  skel.Begin("SKEL", 100).Begin("BONE", 100).Str("b.root");
  for (int k = 0; k < 7; ++k) skel.F32(0);
  skel.U32(1).Begin("BONE", 100).Str("b.arm");
  for (int k = 0; k < 7; ++k) skel.F32(0);
  skel.U32(0).End().End().End();
  spec.tail = skel.out.substr(start % 4);
  return WriteMesh(spec);
}

TEST(QIRFWalkTest, AgreesWithTheReadersOnEveryValidFile) {
  ResourceScene scene;
  KestroIndexedMeshLODResource* text = fixture::LockLodText(scene);
  ASSERT_NE(nullptr, text->GetLODDefinition());
  ASSERT_EQ(RES_OK, text->GetLODDefinition()->Save(scene.folder.At("text.lm").c_str()));
  ResourceScene skeleton;
  KestroIndexedMeshLODResource* tree = fixture::LockLodText(skeleton, "", fixture::kLodText, true);
  ASSERT_NE(nullptr, tree->GetLODDefinition());
  ASSERT_EQ(RES_OK, tree->GetLODDefinition()->Save(scene.folder.At("tree.lm").c_str()));

  MeshSpec capitals;
  capitals.chunks = {Quad(0, "BODY.m.onetex"), Quad(2, "SKIN.m.notex")};
  MeshSpec offBoundary;
  offBoundary.chunks = {Triangle("body.m.onetex")};
  MeshSpec aligned;
  aligned.chunks = {Quad(0)};
  MeshSpec progressive = capitals;
  progressive.pmin = true;
  const struct {
    const char* name;
    std::string file;
    std::string bytes;
    std::vector<std::string> tree;
  } cases[] = {
      {"material names of four capitals",
       "capitals.im",
       WriteMesh(capitals),
       {"INFO@0", "CHNK@0", "MATL@1", "GEOM@1", "CHNK@0", "MATL@1", "GEOM@1"}},
      {"bones after odd indices",
       "odd.im",
       WithSkeleton(offBoundary),
       {"INFO@0", "CHNK@0", "MATL@1", "GEOM@1", "SKEL@0", "BONE@1", "BONE@2"}},
      {"bones on a boundary",
       "even.im",
       WithSkeleton(aligned),
       {"INFO@0", "CHNK@0", "MATL@1", "GEOM@1", "SKEL@0", "BONE@1", "BONE@2"}},
      {"progressive",
       "p.pm",
       WriteMesh(progressive),
       {"INFO@0", "CHNK@0", "MATL@1", "GEOM@1", "CHNK@0", "MATL@1", "GEOM@1", "PMIN@0"}},
      {"skinned levels with named meshes", "text.lm", scene.folder.Read("text.lm"), {}},
      {"a bone tree", "tree.lm", scene.folder.Read("tree.lm"), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = std::string("w/") + c.file;
    EXPECT_EQ(RES_OK, scene.Lock(file, c.bytes)->GetLastLoadCode());
    const Walk walk = WalkBytes(c.bytes);
    EXPECT_TRUE(walk.result.ok) << walk.result.reason;
    // And so do the tools: "meshtool info" loads it and "qirfdump" finds it whole.
    EXPECT_EQ(0, RunTool("meshtool info", scene.folder.At(file)));
    EXPECT_EQ(0, RunTool("qirfdump", scene.folder.At(file)));
    if (!c.tree.empty()) {
      EXPECT_EQ(c.tree, walk.tree);
    }
  }

  // A level-of-detail file: its levels' chunks inside MESH and LCHK, the materials inside MATT.
  const Walk lod = WalkBytes(scene.folder.Read("text.lm"));
  const std::vector<std::string> head = {"INFO@0", "MATT@0", "MATL@1", "BONT@0", "ATCH@0",
                                         "MESH@0", "LODB@1", "LCHK@1", "GEOM@2", "NINF@2",
                                         "LCHK@1", "GEOM@2", "MESH@0"};
  ASSERT_LE(head.size(), lod.tree.size());
  EXPECT_EQ(head, std::vector<std::string>(lod.tree.begin(), lod.tree.begin() + head.size()));
}

TEST(QIRFWalkTest, ContainersCutShortAreDamaged) {
  // A BONE too short for its own fields, and a CHNK whose nested chunks break.
  MeshSpec aligned;
  aligned.chunks = {Quad(0)};
  std::string shortBone = WithSkeleton(aligned);
  const size_t bone = shortBone.rfind("BONE");
  shortBone.replace(bone + 4, 4, std::string("\x04\0\0\0", 4));
  std::string brokenChild = WriteMesh(aligned);
  const size_t geom = brokenChild.find("GEOM");
  brokenChild[geom + 7] = '\x7F';  // a size past its CHNK
  for (const std::string& bytes : {shortBone, brokenChild}) {
    const Walk walk = WalkBytes(bytes);
    EXPECT_FALSE(walk.result.ok);
    EXPECT_FALSE(walk.result.reason.empty());
  }
}

// An animation written from its text form by the tool walks as its flat chunks; text the tool
// refuses leaves no file.
TEST(QIRFWalkTest, TheToolWritesAnAnimationThatWalksWhole) {
  const scratch::Folder folder;
  folder.Put("walk.txt", "frames 4\nbones\n{\n  bone \"arm\"\n  {\n    key 0, 0,0,0, 0,0,0,1\n  }\n"
                         "  bone \"leg\"\n  {\n    key 3, 0,1,0, 0,0,0,1\n  }\n}\n");
  folder.Put("bad.txt", "frames 4\nbones\n{\n  bone \"arm\"\n  {\n    key 9, 0,0,0, 0,0,0,1\n  }\n}\n");
  EXPECT_EQ(0, RunTool("meshtool kin-save", folder.At("walk.txt") + "' '" + folder.At("walk.kin")));
  EXPECT_EQ(1, RunTool("meshtool kin-save", folder.At("bad.txt") + "' '" + folder.At("bad.kin")));
  EXPECT_EQ(folder.Names(), (std::set<std::string>{"bad.txt", "walk.kin", "walk.txt"}));
  const Walk walk = WalkBytes(folder.Read("walk.kin"));
  EXPECT_TRUE(walk.result.ok) << walk.result.reason;
  EXPECT_EQ(std::string(walk.result.bodyTag), "KANM");
  EXPECT_EQ(walk.tree, (std::vector<std::string>{"INFO@0", "TRAK@0", "TRAK@0"}));
  EXPECT_EQ(0, RunTool("qirfdump", folder.At("walk.kin")));
}

}  // namespace
