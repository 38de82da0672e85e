#include "qelgfx/geometry_config_data.h"

#include <gtest/gtest.h>

#include <string>

#include "qel/config_parser.h"

namespace {

using Qel::GeometryConfigData;

constexpr const char* kMesh = R"(version 1.0
position 1,2,3
orientation 0,0,0,2
influences-per-vertex 2
matrix-count 3
chunks
{
  chunk "body"
  {
    primitive 0
    weights-per-vertex 2
    material "body.m.onetex"
    {
      flag 1
      float 0.5
      diffuse 0.5,0.5,0.5
      power 20
      properties { RustAge 0.25
        other "x y" }
      textures { texture "body.texture" { stage 1
        amount 0.75 } }
    }
    vertices
    {
      vertex { position 0,0,0
        normal 0,0,1
        uv0 0,0
        uv1 1,1
        colour 0xFF102030 }
      vertex { position 1,0,0
        uv0 1,0
        uv1 0,1
        colour 010 }
      vertex { position 0,1,0
        uv0 0,1
        uv1 1,0
        colour 8 }
    }
    indices 0 1, 2
  }
  chunk
  {
    material plain { }
  }
}
bones
{
  bone "root" { position 0,0,1 }
  bone "arm" { parent root }
}
influences
{
  influence "arm" { chunk 0
    weights 2,0.5,0,0,0, 1,1,0,0,0 }
}
attachments { attachment "a.cab" { position 0,0,4
  orientation 0,0,1,0 } }
)";

bool LoadText(GeometryConfigData& data, const std::string& text,
              u32 options = GeometryConfigData::kLoadAll) {
  Qel::ConfigParser parser;
  if (parser.ParseText(text) != Qel::ConfigParser::kParseOk || !parser.GetData()) return false;
  return data.Load(*parser.GetData(), options, "mesh.imtxt");
}

TEST(GeometryConfigDataTest, AnswersEveryMeshSourceQuery) {
  GeometryConfigData data;
  ASSERT_TRUE(LoadText(data, kMesh)) << data.GetError().Std();
  EXPECT_EQ(data.GetPosition(), Qel::Vector3(1, 2, 3));
  EXPECT_FLOAT_EQ(data.GetOrientation().w, 1.0f);
  EXPECT_EQ(data.GetInfluencesPerVertex(), 2u);
  EXPECT_EQ(data.GetMatrixCount(), 3u);
  ASSERT_EQ(data.GetNumChunks(), 2u);
  EXPECT_EQ(data.GetMaxVertices(), 3u);
  EXPECT_EQ(data.GetChunkName(0).Std(), "body");
  EXPECT_EQ(data.GetIndexCount(0), 3u);
  EXPECT_EQ(data.GetFaceCount(0), 1u);
  EXPECT_EQ(data.GetTextureSetCount(0), 2u);
  EXPECT_EQ(data.GetWeightsPerVertex(0), 2u);

  struct Record {
    Qel::Vector3 p;
    f32 uv[2];
    u32 colour;
  } records[3] = {};
  ASSERT_TRUE(data.CopyPositions(0, &records[0].p, sizeof(Record)));
  ASSERT_TRUE(data.CopyTextureSet(0, 1, records[0].uv, sizeof(Record)));
  ASSERT_TRUE(data.CopyColours(0, &records[0].colour, sizeof(Record), 0xAB, true));
  EXPECT_EQ(records[1].p, Qel::Vector3(1, 0, 0));
  EXPECT_EQ(records[2].uv[0], 1.0f);
  EXPECT_EQ(records[0].colour, 0xFF102030u);
  EXPECT_EQ(records[1].colour, 10u);
  ASSERT_TRUE(data.CopyColours(0, &records[0].colour, sizeof(Record), 0xAB, false));
  EXPECT_EQ(records[2].colour, 0xABu);
  EXPECT_FALSE(data.CopyTextureSet(0, 2, records[0].uv, sizeof(Record)));
  EXPECT_FALSE(data.CopyPositions(2, &records[0].p, sizeof(Record)));
  u16 indices[3] = {};
  f32 faceNormal[3] = {};
  ASSERT_TRUE(data.CopyIndices(0, indices));
  ASSERT_TRUE(data.CopyFaceNormals(0, faceNormal));
  EXPECT_EQ(indices[2], 2u);
  EXPECT_EQ(faceNormal[2], 1.0f);

  EXPECT_EQ(data.GetMaterialName(0).Std(), "body.m.onetex");
  EXPECT_TRUE(data.GetMaterialFlag(0));
  EXPECT_EQ(data.GetMaterialFloat(0), 0.5f);
  EXPECT_EQ(data.GetDisplayMaterial(0).diffuse, (Qel::ColourValue{0.5f, 0.5f, 0.5f, 1.0f}));
  EXPECT_EQ(data.GetDisplayMaterial(0).power, 20.0f);
  EXPECT_EQ(data.GetProperty(0, 1, false).Std() + "=" + data.GetProperty(0, 1, true).Std(),
            "other=x y");
  ASSERT_EQ(data.GetTextureList(0).size(), 1u);
  EXPECT_EQ(data.GetTextureList(0)[0].stage, 1u);
  EXPECT_EQ(data.GetTextureList(0)[0].amount, 0.75f);
  EXPECT_EQ(data.GetTotalTextureCount(), 1u);
  EXPECT_EQ(data.GetMaterialName(1).Std(), "plain");
  EXPECT_EQ(data.GetVertexCount(1), 0u);

  ASSERT_EQ(data.GetBoneCount(), 2u);
  EXPECT_EQ(data.GetBoneParentName(1).Std(), "root");
  EXPECT_EQ(data.GetBonePosition(0), Qel::Vector3(0, 0, 1));
  EXPECT_EQ(data.GetInfluencedChunkCount(0), 0u);
  ASSERT_EQ(data.GetInfluencedChunkCount(1), 1u);
  ASSERT_EQ(data.GetInfluenceWeightCount(1, 0), 2u);
  Qel::InfluenceWeight weights[2];
  ASSERT_TRUE(data.CopyInfluenceWeights(1, 0, weights));
  EXPECT_EQ(weights[0].vertex, 2u);
  EXPECT_EQ(weights[1].weights[0], 1.0f);
  ASSERT_EQ(data.GetAttachmentCount(), 1u);
  EXPECT_EQ(data.GetAttachmentName(0).Std(), "a.cab");
  EXPECT_EQ(data.GetAttachmentOrientation(0).z, 1.0f);

  ASSERT_TRUE(LoadText(data, kMesh, GeometryConfigData::kLoadGeometry));
  EXPECT_EQ(data.GetBoneCount() + data.GetAttachmentCount(), 0u);
}

// Hostile and broken texts: each is refused whole, with the place named, and leaves nothing.
TEST(GeometryConfigDataTest, RefusesTextThatBreaksTheSchema) {
  const std::string v = "vertex { position 0,0,0 }";
  const auto chunk = [](const std::string& body) {
    return "chunks { chunk { material m { }\n" + body + "\n} }\n";
  };
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {"position 1,2\n", "position: needs 3 numbers"},
      {"orientation 1,2,3,4,5\n", "orientation: needs 4 numbers"},
      {"matrix-count -1\n", "matrix-count: is not a count"},
      {"chunks { mesh { } }\n", "chunk 0: unexpected item"},
      {"chunks { chunk { } }\n", "chunk 0: has no material"},
      {"chunks { chunk { primitive 3\nmaterial m } }\n", "primitive: is not a primitive code"},
      {chunk("weights-per-vertex 5"), "weights-per-vertex is above 4"},
      {chunk("vertices { " + v + "\n vertex { normal 0,0,1 } }"), "vertex 1 position: is missing"},
      {chunk("vertices { " + v + "\n vertex { position nan,0,0 } }"), "needs 3 numbers"},
      {chunk("vertices { vertex { position 0,0,0\nuv0 0,0 }\n" + v + " }"), "uv0: is missing"},
      {chunk("vertices { " + v + " }\nindices 0,1"), "name a vertex the chunk does not have"},
      {chunk("vertices { " + v + " }\nindices 0,x"), "indices: are not counts"},
      {chunk("vertices { " + v + " }\nindices 70000"), "name a vertex"},
      {"chunks { chunk { material m { textures { texture { } } } } }", "texture 0: names no file"},
      {"chunks { chunk { material m { power 1e40 } } }", "power: needs 1 numbers"},
      {"bones { bone { } }", "bone 0: has no name"},
      {"bones { bone b { } }\ninfluences { influence c { chunk 0 } }", "names no bone"},
      {"bones { bone b { } }\ninfluences { influence b { } }", "names no chunk"},
      {chunk("vertices { " + v + " }") + "bones { bone b { } }\n" +
           "influences { influence b { chunk 0\nweights 1,1,0,0,0 } }",
       "weights name a vertex"},
      {chunk("") + "bones { bone b { } }\ninfluences { influence b { chunk 1 } }",
       "names a chunk that does not exist"},
      {"bones { bone b { } }\ninfluences { influence b { chunk 0\nweights 0,1,0 } }",
       "records of five numbers"},
      {"chunks { }\nchunks { }\n", "chunks: appears more than once"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    GeometryConfigData data;
    ASSERT_TRUE(LoadText(data, std::string(kMesh)));
    EXPECT_FALSE(LoadText(data, c.text));
    EXPECT_NE(data.GetError().Std().find(c.error), std::string::npos) << data.GetError().Std();
    EXPECT_EQ(data.GetError().Std().rfind("mesh.imtxt: ", 0), 0u);
    EXPECT_EQ(data.GetNumChunks() + data.GetBoneCount() + data.GetMaxVertices(), 0u);
  }
}

TEST(GeometryConfigDataTest, StopsAChunkAtTheIndexRange) {
  std::string vertices;
  for (u32 i = 0; i <= GeometryConfigData::kMaxChunkVertices; ++i)
    vertices += "vertex{position 0,0,0}\n";
  GeometryConfigData data;
  EXPECT_FALSE(LoadText(data, "chunks { chunk { material m\nvertices {\n" + vertices + "} } }"));
  EXPECT_NE(data.GetError().Std().find("too many vertices"), std::string::npos);
}

}  // namespace
