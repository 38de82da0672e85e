// The OS object: the "data" volume beside the program.
#include "qel/os.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "qel/file_volume.h"

namespace {

TEST(OS, InitRegistersTheDataVolumeBesideTheProgram) {
  Qel::OS os("KestroUtil", "-NullRender", nullptr, nullptr);
  EXPECT_EQ(os.GetApplicationName().Std(), "KestroUtil");
  ASSERT_TRUE(os.Init());
  std::string folder = Platform::ProgramPath();
  folder.erase(folder.rfind('/') + 1);
  EXPECT_EQ(os.GetProgramFolder().GetText().Std(), folder);
  const std::string volume = Qel::GetVolume("DATA").Std();
  EXPECT_EQ(volume.rfind(folder + "data", 0), 0u) << volume;
}

}  // namespace
