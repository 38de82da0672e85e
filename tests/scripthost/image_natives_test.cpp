// The Image natives driven from a compiled script: colours, shapes, resizing, copies (onto itself
// too), text, hostile arguments, and gsrun's --dump-images writing what a script drew.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qelgfx/bitmap.h"
#include "scripthost/glyph_atlas.h"
#include "scripthost/gso_image.h"
#include "scripthost/script_probe.h"
#include "scripthost/tt_font.h"
#include "support/scratch_folder.h"

namespace {

using GSRuntime::ScriptArgument;

constexpr const char* kProbe = R"(include "Kestro.gs"

class Probe {
  Image kept;
  Image other;
  Image[] many;

  public string Fresh() {
    kept = ConstructorsBase.NewImage();
    string empty = kept.GetWidth() + "x" + kept.GetHeight();
    kept.Clear(0, 10);
    return empty + "," + kept.GetWidth() + "x" + kept.GetHeight();
  }
  public void Make(int w, int h, float r, float g, float b, float a) {
    kept = ConstructorsBase.NewImage();
    kept.SetFillColor(r, g, b, a);
    kept.Clear(w, h);
  }
  public void Line(float r, float g, float b, float a) { kept.SetLineColor(r, g, b, a); }
  public void Fill(float r, float g, float b, float a) { kept.SetFillColor(r, g, b, a); }
  public void Rect(int x1, int y1, int x2, int y2) { kept.DrawRect(x1, y1, x2, y2); }
  public void LineTo(int x1, int y1, int x2, int y2) { kept.DrawLine(x1, y1, x2, y2); }
  public void Point(int x, int y) { kept.DrawPoint(x, y); }
  public void Circle(int x, int y, int r) { kept.DrawCircle(x, y, r); }
  public void Triangle(int x1, int y1, int x2, int y2, int x3, int y3) {
    kept.DrawTriangle(x1, y1, x2, y2, x3, y3);
  }
  public void Resize(int w, int h, int scale) { kept.Resize(w, h, scale != 0); }
  public void SelfAt(int x, int y) { kept.DrawImage(x, y, kept); }
  public void SelfInto(int x1, int y1, int x2, int y2) { kept.DrawImage(x1, y1, x2, y2, kept); }
  public void SelfPart(int x1, int y1, int x2, int y2, int sx1, int sy1, int sx2, int sy2) {
    kept.DrawImage(x1, y1, x2, y2, kept, sx1, sy1, sx2, sy2);
  }
  public void Other(int w, int h) {
    other = ConstructorsBase.NewImage();
    other.SetFillColor(0.0, 0.0, 1.0, 1.0);
    other.Clear(w, h);
  }
  public void CopyOther(int x, int y) { kept.DrawImage(x, y, other); }
  public void Many(int n, int w, int h) {
    many = new Image[n];
    int i;
    for (i = 0; i < n; i++) {
      many[i] = ConstructorsBase.NewImage();
      many[i].Clear(w, h);
    }
  }
  public void GrowFirst(int w, int h) { many[0].Resize(w, h, false); }
  public void DropMany() { many = null; }
  public void CopyNull() { Image none = null; kept.DrawImage(0, 0, none); }
  public string Measure(string text) { return "" + kept.MeasureTextWidth(text); }
  public void UseFont(string face, int height) { kept.SetTextFont(face, height); }
  public void Write(int x, int y, string text) { kept.DrawText(x, y, text); }
  public string Exported() {
    Soup s = kept.ExportImage();
    kept.ImportImage(s);
    return s.IsLocked() + "," + s.CountTags();
  }
  public string Everything() {
    Image blank = ConstructorsBase.NewImage();
    blank.DrawRect(0, 0, 5, 5);
    blank.DrawLine(0, 0, 5, 5);
    blank.DrawPoint(1, 1);
    blank.DrawCircle(1, 1, 1);
    blank.DrawTriangle(0, 0, 1, 1, 0, 1);
    blank.DrawImage(0, 0, blank);
    blank.DrawText(0, 0, "x");
    blank.Resize(0, 0, true);
    return blank.GetWidth() + "x" + blank.GetHeight();
  }
  // Kept in the object's fields, so that they are still live when gsrun writes them out.
  public string Picture() {
    kept = ConstructorsBase.NewImage();
    kept.SetFillColor(1.0, 1.0, 1.0, 1.0);
    kept.Clear(64, 48);
    kept.SetFillColor(1.0, 0.0, 0.0, 1.0);
    kept.SetLineColor(0.0, 0.0, 0.0, 1.0);
    kept.DrawCircle(16, 16, 10);
    kept.SetFillColor(0.0, 0.0, 1.0, 1.0);
    kept.DrawTriangle(40, 4, 60, 4, 40, 24);
    kept.DrawRect(2, 34, 12, 44);
    kept.DrawLine(0, 47, 63, 30);
    kept.SetTextFont("DejaVu Sans", 16);
    kept.DrawText(0, 0, "Hi");
    other = ConstructorsBase.NewImage();
    other.Clear(32, 24);
    other.DrawImage(0, 0, 32, 24, kept, 0, 0, 64, 48);
    other.Resize(64, 48, true);
    return kept.GetWidth() + "x" + other.GetHeight();
  }
};
)";

const scratch::Folder& ProbeFolder() {
  // Compiled once for the process; removed as it ends.
  static const std::unique_ptr<scratch::Folder> folder =
      script_probe::Compile("imageprobe.gs", kProbe);
  return *folder;
}

ScriptArgument I(i32 value) { return ScriptArgument::Int(value); }
ScriptArgument F(float value) { return ScriptArgument::Float(value); }
ScriptArgument S(const char* text) { return ScriptArgument::String(text); }

class ImageNativesTest : public ::testing::Test, public script_probe::ProbeCalls {
 protected:
  void SetUp() override {
    probeClass_ = script_probe::SetUp(ProbeFolder(), "imageprobe.gsl");
    ASSERT_NE(probeClass_, nullptr);
    ASSERT_TRUE(probe_.Create(probeClass_));
  }
  void TearDown() override {
    probe_.Destroy();
    script_probe::TearDown();
  }

  void Call(const std::string& method, const std::vector<ScriptArgument>& arguments = {}) {
    EXPECT_EQ(Text(method, arguments), "<null>") << method;
  }
  // The newest live image of the probe's context.
  const GSOImage* Newest(int back = 0) {
    std::vector<const GSOImage*> images;
    GSOImage::ForEachLive(probe_.Context(),
                          [&](const GSOImage& image) { images.push_back(&image); });
    return images.size() > size_t(back) ? images[images.size() - 1 - size_t(back)] : nullptr;
  }
  u32 Pixel(i32 x, i32 y) {
    const GSOImage* image = Newest();
    return image != nullptr && image->Bitmap() != nullptr ? image->Bitmap()->GetPixel(x, y) : 1u;
  }
  void Make(i32 w, i32 h, float r, float g, float b, float a) {
    Call("Make", {I(w), I(h), F(r), F(g), F(b), F(a)});
  }
};

TEST_F(ImageNativesTest, ColoursAndClearFollowTheScriptsValues) {
  EXPECT_EQ(Text("Fresh"), "0x0,0x0");
  Make(2, 2, 1, 0, 0, 1);
  for (i32 i = 0; i < 4; ++i) EXPECT_EQ(Pixel(i % 2, i / 2), 0xFFFF0000u);
  Call("Line", {F(0.5f), F(0.5f), F(0.5f), F(1)});
  Call("Point", {I(1), I(1)});
  EXPECT_EQ(Pixel(1, 1), 0xFF808080u);
  // Out of range and NaN clamp instead of wrapping in the byte.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Make(1, 1, 1.5f, -2.0f, nan, 300.0f);
  EXPECT_EQ(Pixel(0, 0), 0xFFFF0000u);
}

TEST_F(ImageNativesTest, ShapesDrawInTheirColoursAndCountRevisions) {
  Make(40, 40, 0, 0, 0, 0);
  const u32 before = Newest()->Revision();
  Call("Fill", {F(1), F(0), F(0), F(1)});
  Call("Line", {F(0), F(0), F(1), F(1)});
  Call("Rect", {I(10), I(10), I(20), I(30)});
  EXPECT_EQ(Pixel(10, 10), 0xFF0000FFu) << "outline";
  EXPECT_EQ(Pixel(12, 12), 0xFFFF0000u) << "fill";
  EXPECT_EQ(Pixel(19, 29), 0xFF0000FFu);
  EXPECT_EQ(Pixel(20, 30), 0u);
  Call("Circle", {I(30), I(30), I(4)});
  EXPECT_EQ(Pixel(30, 30), 0xFFFF0000u);
  EXPECT_EQ(Pixel(34, 30), 0xFF0000FFu);
  Call("Triangle", {I(0), I(0), I(8), I(0), I(0), I(8)});
  EXPECT_EQ(Pixel(2, 2), 0xFFFF0000u);
  EXPECT_EQ(Newest()->Revision(), before + 3);
}

TEST_F(ImageNativesTest, HostileArgumentsClipAndSizesAreCapped) {
  Make(16, 16, 0, 0, 0, 0);
  Call("Fill", {F(0), F(1), F(0), F(1)});
  const std::vector<std::vector<ScriptArgument>> boxes = {
      {I(INT_MIN), I(INT_MIN), I(INT_MAX), I(INT_MAX)},
      {I(INT_MAX), I(INT_MAX), I(INT_MIN), I(INT_MIN)},
      {I(INT_MAX), I(0), I(INT_MAX), I(5)},
  };
  for (const auto& box : boxes) Call("Rect", box);
  EXPECT_EQ(Pixel(0, 0), 0xFF00FF00u) << "the clamped box still covers the image";
  EXPECT_EQ(Pixel(15, 15), 0xFF00FF00u) << "and its outline stays outside";
  Call("LineTo", {I(INT_MIN), I(INT_MIN), I(INT_MAX), I(INT_MAX)});
  Call("Circle", {I(INT_MIN), I(INT_MAX), I(INT_MAX)});
  Call("Triangle", {I(INT_MIN), I(INT_MIN), I(INT_MAX), I(0), I(0), I(INT_MAX)});
  Call("Point", {I(INT_MIN), I(-1)});
  Call("SelfPart",
       {I(0), I(0), I(INT_MAX), I(INT_MAX), I(INT_MIN), I(INT_MIN), I(INT_MAX), I(INT_MAX)});
  Call("Resize", {I(INT_MAX), I(INT_MAX), I(1)});
  EXPECT_EQ(Newest()->Bitmap(), nullptr) << "refused sizes leave no pixels";
  Make(16385, 1, 1, 1, 1, 1);
  EXPECT_EQ(Newest()->Bitmap(), nullptr);
  Make(16384, 16384, 1, 1, 1, 1);
  EXPECT_EQ(Newest()->Bitmap(), nullptr) << "1 GiB is over the 256 MiB cap";
  EXPECT_EQ(Text("Everything"), "0x0") << "an image without pixels draws nothing";
}

TEST_F(ImageNativesTest, TheContextsImagesShareOneCapAndGiveItBackWhenTheyEnd) {
  // Three of the largest single images: the third would take the context past its cap.
  const std::string error = Failure("Many", {I(3), I(16384), I(4096)});
  EXPECT_NE(error.find("Image.Clear> 16384x4096 would take this script's images over 512 MiB"),
            std::string::npos)
      << error;
  Call("DropMany");
  Call("Many", {I(2), I(16384), I(4096)});
  EXPECT_NE(Failure("Other", {I(1), I(1)}).find("over 512 MiB"), std::string::npos);
  // A resize is weighed in place of the pixels it replaces.
  Call("GrowFirst", {I(16384), I(2048)});
  Call("Other", {I(16384), I(2048)});
  EXPECT_NE(Failure("GrowFirst", {I(16384), I(4096)}).find("Image.Resize>"), std::string::npos);
  Call("DropMany");
}

TEST_F(ImageNativesTest, ResizeScalesOrCropsAndACopyOntoItselfUsesATemporary) {
  Make(4, 4, 1, 0, 0, 1);
  const u32 before = Newest()->Revision();
  Call("Resize", {I(4), I(4), I(1)});
  EXPECT_EQ(Newest()->Revision(), before) << "the same size counts no revision";
  Call("Resize", {I(8), I(8), I(1)});
  EXPECT_EQ(Pixel(7, 7), 0xFFFF0000u) << "scaled";
  Make(4, 4, 1, 0, 0, 1);
  Call("Resize", {I(8), I(8), I(0)});
  EXPECT_EQ(Pixel(3, 3), 0xFFFF0000u);
  EXPECT_EQ(Pixel(4, 4), 0u) << "kept in the top-left quarter, the rest transparent";

  Make(8, 1, 0, 0, 0, 1);
  Call("Fill", {F(1), F(0), F(0), F(1)});
  Call("Line", {F(1), F(0), F(0), F(1)});
  Call("Rect", {I(0), I(0), I(1), I(1)});
  Call("SelfInto", {I(1), I(0), I(9), I(1)});
  EXPECT_EQ(Pixel(1, 0), 0xFFFF0000u);
  EXPECT_EQ(Pixel(2, 0), 0xFF000000u) << "read from before the copy, not smeared";
  const u32 revision = Newest()->Revision();
  Call("SelfInto", {I(0), I(0), I(4), I(1)});
  Call("SelfPart", {I(0), I(0), I(2), I(1), I(0), I(0), I(1), I(1)});
  EXPECT_EQ(Newest()->Revision(), revision) << "a different size onto itself draws nothing";
  Call("SelfAt", {I(-1), I(0)});
  EXPECT_EQ(Pixel(0, 0), 0xFFFF0000u) << "shifted left by one";
  EXPECT_EQ(Pixel(1, 0), 0xFF000000u);

  Call("Other", {I(2), I(2)});
  Call("CopyOther", {I(6), I(0)});
  EXPECT_EQ(Newest(1)->Bitmap()->GetPixel(7, 0), 0xFF0000FFu);
  EXPECT_NE(Failure("CopyNull", {}).find("null"), std::string::npos);
}

TEST_F(ImageNativesTest, TextIsMeasuredAndPreparedWithoutTouchingThePixels) {
  ScriptHost::ResetFontsForTests();
  Make(8, 8, 0, 0, 0, 0);
  Call("UseFont", {S("DejaVu Sans"), I(20)});
  EXPECT_GT(std::stoi(Text("Measure", {S("Hello")})), 20);
  EXPECT_EQ(Text("Measure", {S("")}), "0");
  const u32 before = Newest()->Revision();
  Call("Write", {I(0), I(0), S("Hi")});
  EXPECT_EQ(Newest()->Revision(), before + 1);
  EXPECT_EQ(Pixel(0, 0), 0u);
  EXPECT_EQ(ScriptHost::GlyphAtlas::Get().Count(), 2u);
  EXPECT_NE(Failure("UseFont", {S(""), I(12)}).find("empty string"), std::string::npos);
  EXPECT_NE(Failure("Write", {I(0), I(0), S("")}).find("empty string"), std::string::npos);
  EXPECT_EQ(Text("Exported"), "true,0");
  ScriptHost::ResetFontsForTests();
}

TEST_F(ImageNativesTest, ImagesEndWithTheirContextInEitherOrder) {
  script_probe::EndInEitherOrder(
      probeClass_, nullptr,
      [](GSRuntime::ScriptObjectHolder& first, GSRuntime::ScriptObjectHolder& second) {
        EXPECT_EQ(Text(first, "Fresh"), "0x0,0x0");
        EXPECT_EQ(Text(second, "Fresh"), "0x0,0x0");
      },
      [](GSRuntime::ScriptObjectHolder& late) { EXPECT_EQ(Text(late, "Everything"), "0x0"); });
}

using script_probe::RunCommand;

TEST(GsrunDumpImagesTest, WritesWhatAScriptDrewAndTheAtlas) {
  scratch::Folder out;
  const std::string run = std::string(KESTRO_BINARY_DIR) + "/gsrun --lib '" + ProbeFolder().path() +
                          "' --class Probe --call Picture --dump-images '" + out.path() + "'";
  const std::string output = RunCommand(run);
  ASSERT_NE(output.find("result: 64x48"), std::string::npos) << output;
  Qel::Bitmap drawing;
  ASSERT_TRUE(drawing.LoadFile(out.At("image0.png").c_str())) << output;
  ASSERT_EQ(drawing.GetWidth(), 64u);
  EXPECT_EQ(drawing.GetPixel(16, 16), 0xFFFF0000u) << "the disc";
  EXPECT_EQ(drawing.GetPixel(26, 16), 0xFF000000u) << "its outline";
  EXPECT_EQ(drawing.GetPixel(42, 6), 0xFF0000FFu) << "the triangle";
  EXPECT_EQ(drawing.GetPixel(5, 38), 0xFF0000FFu) << "the box";
  EXPECT_EQ(drawing.GetPixel(0, 47), 0xFF000000u) << "the line";
  EXPECT_EQ(drawing.GetPixel(63, 0), 0xFFFFFFFFu) << "the background";
  Qel::Bitmap copy;
  ASSERT_TRUE(copy.LoadFile(out.At("image1.png").c_str()));
  ASSERT_EQ(copy.GetHeight(), 48u);
  EXPECT_EQ(copy.GetPixel(30, 30), 0xFFFF0000u) << "the scaled copy keeps the disc";
  EXPECT_EQ(copy.GetPixel(60, 44), 0xFFFFFFFFu);
  Qel::Bitmap atlas;
  ASSERT_TRUE(atlas.LoadFile(out.At("atlas.png").c_str()));
  EXPECT_EQ(atlas.GetWidth(), 512u);
  int ink = 0;
  for (i32 y = 0; y < 30; ++y) {
    for (i32 x = 0; x < 40; ++x) ink += (atlas.GetPixel(x, y) >> 24) == 255 ? 1 : 0;
  }
  EXPECT_GT(ink, 10) << "the glyphs of \"Hi\"";

  const std::string refused =
      RunCommand(run.substr(0, run.find(" --dump-images")) + " --dump-images /proc/none");
  EXPECT_NE(refused.find("Could not write"), std::string::npos) << refused;
}

}  // namespace
