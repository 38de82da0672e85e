// A script that touches every standard class runs through gsrun with every native bound: the
// standard libraries beside gsrun all link, and a native still to come names itself.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "scripthost/script_probe.h"
#include "support/scratch_folder.h"

namespace {

constexpr const char* kEverything = R"(include "Kestro.gs"
class Everything {
  public int Touch() {
    KUID kuid; Soup soup; HTMLBuffer html; KUIDList kuids; StringTable strings; Asset asset;
    KestroGameObject gameObject; OnlineAccess online; OnlineGroup group; Image image; Library library;
    SecurityToken token; Menu menu = new Menu(); Vehicle vehicle; Trackside trackside;
    Signal signal; PropertyObject properties;
    WorldCoordinate where = new WorldCoordinate();
    Orientation orientation = new Orientation();
    LinkedData data = new LinkedData();
    LinkedData[] list = new LinkedData[0];
    LinkedList linked = new LinkedList();
    return Signal.PROCEED + list.size();
  }
  public int Build() { return KestroScriptBase.GetKestroBuild(); }
  public int Library() {
    KUID none = null;
    Library library = KestroScriptBase.GetLibrary(none);
    return 0;
  }
  public string NullTag() {
    Soup soup = ConstructorsBase.NewSoup();
    return soup.GetNamedTag(null);
  }
  public int NewImage() {
    Image image = ConstructorsBase.NewImage();
    return 0;
  }
};
)";

using script_probe::RunCommand;

TEST(GsrunStandardClassesTest, EveryStandardLibraryLinksAndItsNativesAnswer) {
  const std::unique_ptr<scratch::Folder> compiled(
      script_probe::Compile("everything.gs", kEverything));
  const scratch::Folder& folder = *compiled;

  const std::string gsrun =
      std::string(KESTRO_BINARY_DIR) + "/gsrun --lib '" + folder.path() + "' --class Everything ";
  const std::string touched = RunCommand(gsrun + "--call Touch");
  EXPECT_NE(touched.find("result: 2"), std::string::npos) << touched;
  EXPECT_EQ(touched.find("Could not resolve native link"), std::string::npos) << touched;
  EXPECT_EQ(touched.find("Error"), std::string::npos) << touched;

  // The host's natives answer only under the host's context.
  const std::string built = RunCommand(gsrun + "--host --call Build");
  EXPECT_NE(built.find("result: 48249"), std::string::npos) << built;
  const std::string plain = RunCommand(gsrun + "--call Build");
  EXPECT_NE(plain.find("ER_NativeCallError"), std::string::npos) << plain;
  const std::string library = RunCommand(gsrun + "--host --call Library");
  EXPECT_NE(library.find("KestroScriptBase.GetLibrary> null object at parameter 1"),
            std::string::npos)
      << library;
  // A parameter error names its native, and the standard library it is declared in by the bare
  // name of its source, not by where the build machine keeps it.
  const std::string nullTag = RunCommand(gsrun + "--call NullTag");
  EXPECT_NE(nullTag.find("Soup.GetNamedTag> null string at parameter 1 (file soup.gs)\n"),
            std::string::npos)
      << nullTag;
  const std::string image = RunCommand(gsrun + "--call NewImage");
  EXPECT_NE(image.find("result: 0"), std::string::npos) << image;

  // The disassembler marks the natives of a standard library.
  const std::string listing = RunCommand(std::string(KESTRO_BINARY_DIR) + "/gsdis " +
                                         KESTRO_BINARY_DIR "/libraries/Soup.gsl");
  EXPECT_NE(listing.find("native function $int@Soup::CountTags()"), std::string::npos);
}

}  // namespace
