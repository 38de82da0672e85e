// The material kinds and the blended-draw caches as the recording display sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mesh/alpha_blend_cache_unsorted.h"
#include "mesh/kestro_alpha_blend_cache.h"
#include "mesh/kestro_multi_pfx_material.h"
#include "mesh/material_identities.h"
#include "qelgfx/geometry_chunk.h"
#include "qelgfx/render_kernel.h"

namespace {

using Qel::GeometryChunk;
using Qel::Material;
using Qel::Vector3;

class MaterialTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Qel::CreateMaterialPlugins();
    kernel_.SetDisplay(Qel::Display::CreateModest());
    display_ = kernel_.GetDisplay();
  }
  Material* Make(const std::string& kind) {
    Material* material = nullptr;
    const std::string name = "case" + std::to_string(made_++) + ".m." + kind;
    EXPECT_EQ(kernel_.GetMaterialManager().FindMaterial(Qel::PString(name.c_str()), material), 0u);
    return material;
  }
  // A chunk of the generic layout with these positions and indices.
  static GeometryChunk* MakeChunk(u32 primitive, const std::vector<Vector3>& positions,
                                  const std::vector<u16>& indices) {
    GeometryChunk* chunk = GeometryChunk::Create(u32(positions.size()), 0, u32(indices.size()), 0,
                                                 primitive, Qel::StandardChunkHint(1, 0));
    for (u32 v = 0; v < positions.size(); ++v) {
      chunk->GetItem(Qel::kItemPosition).Set(v, positions[v]);
    }
    std::copy(indices.begin(), indices.end(), chunk->GetIndexArray());
    return chunk;
  }
  // Trace entries that begin with one of the prefixes, in order.
  std::vector<std::string> Entries(std::initializer_list<const char*> prefixes) const {
    std::vector<std::string> found;
    for (const Qel::String& entry : display_->GetTrace()) {
      for (const char* prefix : prefixes) {
        if (entry.View().starts_with(prefix)) found.emplace_back(entry.View());
      }
    }
    return found;
  }
  static void ReleaseAll(std::initializer_list<Qel::ReferenceCount*> held) {
    for (Qel::ReferenceCount* one : held) one->ReleaseReference();
  }
  bool Traced(const std::string& part) const {
    for (const Qel::String& entry : display_->GetTrace()) {
      if (entry.View().find(part) != std::string_view::npos) return true;
    }
    return false;
  }

  Qel::RenderKernel kernel_{nullptr, 8.0f};
  Qel::Display* display_ = nullptr;
  u32 made_ = 0;
};

TEST_F(MaterialTraceTest, EachKindDrawsItsPassesAndPutsTheDisplayBack) {
  struct Case {
    const char* kind;
    f32 rustAge;
    bool spot;
    size_t draws;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      // Gloss strength 1 x (1 - 2 x 0.5) is nothing to draw.
      {"tbumpgloss", 0.5f, true, 0, {"ResetStage 3"}, {"PixelProgram"}},
      {"tbumpgloss",
       0.2f,
       true,
       2,
       {"CombinerConstant 2 0.6 0.6 0.6 0.6", "BlendFunction 1 1"},
       {}},
      {"tbumptex", 0.0f, true, 2, {"Texture 1 shared.white", "BlendFunction 4 1", "FogMode 0"}, {}},
      {"tbumpenv", 0.0f, false, 1, {"Texture 3 shared.white", "TextureMatrix 1 1"}, {"FogMode"}},
      {"tglossrust", 0.75f, false, 1, {"specular 0.6 0.3 0.15"}, {"TexCoordGen"}},
      {"tglossrust", 0.2f, false, 1, {"specular 0.8 0.4 0.2", "TexCoordGen 1 0 1"}, {}},
      {"nofogtex", 0.0f, false, 1, {"FogMode 0", "CullMode 1", "BlendFunction 4 5"}, {}},
      {"tonetexnoalpha", 0.0f, false, 1, {"ColorMaterial 5", "ColorMaterial 0"}, {}},
      {"tmpfx", 0.0f, false, 1, {"TextureMatrix 1 identity"}, {"Texture 1"}},
  };
  Qel::LightList lights(2);
  lights[0].diffuse = {1.0f, 1.0f, 1.0f, 1.0f};
  lights[1].type = Qel::Light::kSpot;
  const Qel::Matrix4 world;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.rustAge));
    Material* material = Make(c.kind);
    ASSERT_NE(material, nullptr);
    Qel::DisplayMaterial colours;
    colours.specular = {0.8f, 0.4f, 0.2f, 1.0f};
    material->SetDisplayMaterialProperties(colours);
    GeometryChunk* chunk =
        material->CreateGeometryChunk(3, 1, 3, 1, 0, Qel::StandardChunkHint(1, 0));
    ASSERT_NE(chunk, nullptr);
    chunk->SetChunkProperty(Qel::kRustAgeProperty, c.rustAge);
    display_->SetFogMode(3);
    display_->SetAlphaBlendFunction(2, 6);
    display_->SetAlphaBlendMode(false);
    display_->SetAlphaTestMode(true);
    display_->ClearTrace();
    const Qel::LightList parallelOnly(lights.begin(), lights.begin() + 1);
    material->RenderChunk(*display_, {}, {chunk, &world, c.spot ? &lights : &parallelOnly});
    EXPECT_EQ(Entries({"Draw "}).size(), c.draws);
    for (const std::string& part : c.present) EXPECT_TRUE(Traced(part)) << part;
    for (const std::string& part : c.absent) EXPECT_FALSE(Traced(part)) << part;
    u32 source = 0, destination = 0;
    display_->GetAlphaBlendFunction(source, destination);
    EXPECT_EQ(display_->GetFogMode(), 3u);
    EXPECT_EQ(std::make_pair(source, destination), std::make_pair(2u, 6u));
    EXPECT_FALSE(display_->GetAlphaBlendMode());
    EXPECT_TRUE(display_->GetAlphaTestMode());
    EXPECT_EQ(material->GetDisplayMaterial(), colours);
    ReleaseAll({chunk, material});
  }
}

TEST_F(MaterialTraceTest, KindsKeepTheirChunkLayoutsAndSortHints) {
  Material* noAlpha = Make("tonetexnoalpha");
  Material* plain = Make("onetex");
  Qel::DisplayMaterial seeThrough;
  seeThrough.diffuse.a = 0.5f;
  for (Material* material : {noAlpha, plain}) {
    material->SetDisplayMaterialProperties(seeThrough);
    material->CacheAlphaHint();
  }
  EXPECT_EQ(noAlpha->GetAlphaHint(), 0u);
  EXPECT_EQ(plain->GetAlphaHint(), 1u);

  // A null map leaves the old one; a gloss amount of 0 leaves nothing to draw.
  Material* gloss = Make("tbumpgloss");
  Qel::Texture* shine = Qel::SharedTextureCollection::GetTexture(1);
  EXPECT_EQ(gloss->SetTexture(9, nullptr, 1.0f), Material::kTextureMissing);
  EXPECT_EQ(gloss->SetTexture(9, shine, 0.0f), Material::kTextureOk);
  EXPECT_EQ(gloss->GetTexture(9), shine);
  GeometryChunk* plate = gloss->CreateGeometryChunk(3, 1, 3, 1, 0, Qel::StandardChunkHint(1, 0));
  display_->ClearTrace();
  gloss->RenderChunk(*display_, {}, {plate, nullptr, nullptr});
  EXPECT_TRUE(Entries({"Draw"}).empty());

  auto* multi = dynamic_cast<Qel::KestroMultiPFXMaterial*>(Make("tmpfx"));
  ASSERT_NE(multi, nullptr);
  GeometryChunk* first = multi->CreateGeometryChunk(4, 2, 6, 0, 0, Qel::StandardChunkHint(1, 0));
  GeometryChunk* second = multi->CreateGeometryChunk(3, 1, 3, 0, 0, Qel::StandardChunkHint(1, 0));
  EXPECT_EQ(first->GetVertexType(), second->GetVertexType());
  EXPECT_EQ(first->GetItemOffset(Qel::kItemTexture0 + 1), first->GetItemOffset(Qel::kItemTexture0));
  Material* copy = multi->Copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->Equals(*multi));
  ReleaseAll({first, second, copy, multi, noAlpha, plain, gloss, shine, plate});
}

class AlphaCacheTest : public MaterialTraceTest {
 protected:
  f32 DepthOf(u32 bucket) const {
    f32 depth = 0.0f;
    while (cache_.GetBucket(depth) < bucket) depth += 0.25f;
    return depth;
  }
  Qel::KestroAlphaBlendCache cache_;
};

TEST_F(AlphaCacheTest, DrawsFarToNearAndSortsOnlyNearChunksByTriangle) {
  Material* material = Make("onetex");
  // Two triangles, the second far from the eye at the origin: sorted, it comes first.
  GeometryChunk* list = MakeChunk(
      0, {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {0, 0, 9}, {1, 0, 9}, {0, 1, 9}}, {0, 1, 2, 3, 4, 5});
  GeometryChunk* strip = MakeChunk(1, {{0, 0, 1}, {1, 0, 1}, {0, 1, 9}, {1, 1, 9}}, {0, 1, 2, 3});
  GeometryChunk* far = MakeChunk(0, std::vector<Vector3>(7), {0, 1, 2});
  ASSERT_EQ(cache_.GetBucket(DepthOf(69)), 69u);
  cache_.AddDraw({list, nullptr, nullptr}, material, DepthOf(69), Vector3());
  cache_.AddDraw({list, nullptr, nullptr}, material, DepthOf(70), Vector3());
  cache_.AddDraw({strip, nullptr, nullptr}, material, DepthOf(3), Vector3());
  cache_.AddDraw({far, nullptr, nullptr}, material, 5000.0f, Vector3());
  display_->ClearTrace();
  cache_.Render(*display_);
  EXPECT_EQ(Entries({"Draw"}),
            (std::vector<std::string>{"Draw 0 7 3", "Draw 0 6 6", "DrawPrimitives 0 2 3 4 5 0 1 2",
                                      "DrawPrimitives 0 2 1 3 2 0 1 2"}));
  EXPECT_EQ(Entries({"DepthWrite"}), (std::vector<std::string>{"DepthWrite 0", "DepthWrite 1"}));
  EXPECT_TRUE(cache_.IsEmpty());

  // A frame of 2,000 draws outgrows one record block; every draw is made, farthest first.
  std::vector<Qel::Matrix4> worlds(Qel::KestroAlphaBlendCache::kBucketCount);
  std::vector<f32> depths(worlds.size());
  for (u32 b = 0; b < worlds.size(); ++b) worlds[b].m[3][0] = f32(b), depths[b] = DepthOf(b);
  for (int frame = 0; frame < 2; ++frame) {
    for (u32 i = 0; i < 2000; ++i) {
      const u32 bucket = (i * 7) % 200;
      cache_.AddDraw({far, &worlds[bucket], nullptr}, material, depths[bucket], Vector3());
    }
    display_->ClearTrace();
    cache_.Render(*display_);
    const std::vector<std::string> placed = Entries({"World "});
    ASSERT_EQ(placed.size(), 2000u);
    EXPECT_TRUE(std::is_sorted(placed.begin(), placed.end(), [](const auto& a, const auto& b) {
      return std::stof(a.substr(6)) > std::stof(b.substr(6));
    }));
  }
  EXPECT_GT(cache_.GetPoolBlockCount(), 1u);
  ReleaseAll({list, strip, far, material});
}

TEST_F(AlphaCacheTest, NestedLevelsFlushAlone) {
  Material* material = Make("onetex");
  GeometryChunk* outer = MakeChunk(0, std::vector<Vector3>(4), {0, 1, 2});
  GeometryChunk* inner = MakeChunk(0, std::vector<Vector3>(5), {0, 1, 2});
  cache_.AddDraw({outer, nullptr, nullptr}, material, 600.0f, Vector3());
  display_->ClearTrace();
  cache_.Leave(true, *display_);  // no level to leave
  EXPECT_EQ(cache_.GetLevel(), 0u);
  EXPECT_TRUE(display_->GetTrace().empty());
  cache_.Enter(true);
  EXPECT_TRUE(cache_.IsEmpty());
  cache_.AddDraw({inner, nullptr, nullptr}, material, 600.0f, Vector3());
  cache_.Leave(true, *display_);
  EXPECT_EQ(Entries({"Draw"}), std::vector<std::string>{"Draw 0 5 3"});
  EXPECT_FALSE(cache_.IsEmpty());

  Qel::RenderingCache::SetRenderSuppressed(true);
  display_->ClearTrace();
  cache_.AddDraw({inner, nullptr, nullptr}, material, 600.0f, Vector3());
  cache_.Render(*display_);
  Qel::RenderingCache::SetRenderSuppressed(false);
  EXPECT_TRUE(display_->GetTrace().empty());
  cache_.Render(*display_);
  EXPECT_EQ(Entries({"Draw"}), std::vector<std::string>{"Draw 0 4 3"});
  ReleaseAll({outer, inner, material});
}

TEST_F(AlphaCacheTest, UnsortedCacheDrawsInArrivalOrderWithItsOwnFactors) {
  Material* material = Make("onetex");
  GeometryChunk* chunks[] = {MakeChunk(0, std::vector<Vector3>(5), {0, 1, 2}),
                             MakeChunk(0, std::vector<Vector3>(4), {0, 1, 2})};
  Qel::AlphaBlendCacheUnsorted unsorted;
  EXPECT_EQ(Qel::AlphaBlendCacheUnsorted::GetInstance(), &unsorted);
  for (GeometryChunk* chunk : chunks) unsorted.AddDraw({chunk, nullptr, nullptr}, material);
  display_->SetAlphaBlendFunction(2, 6);
  display_->ClearTrace();
  unsorted.Render(*display_);
  EXPECT_EQ(Entries({"Draw", "BlendFunction"}),
            (std::vector<std::string>{"BlendFunction 4 5", "Draw 0 5 3", "Draw 0 4 3",
                                      "BlendFunction 2 6"}));
  unsorted.BeginFrame();
  EXPECT_TRUE(unsorted.IsEmpty());
  ReleaseAll({chunks[0], chunks[1], material});
}

}  // namespace
