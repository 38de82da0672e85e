// The OS object and the null render kernel: which options bring them up, the retry with
// "-NullRender", and the "data" volume beside the program.
#include "qel/os.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "qel/file_volume.h"
#include "qel/render_kernel.h"
#include "qel/resource_system.h"

namespace {

TEST(OS, OnlyTheNullKernelComesUp) {
  const struct {
    const char* options;
    bool supported;
  } cases[] = {
      {"-render=OpenGL -hidewindow -LogFile=/dev/null", true},
      {"-NullRender -LogStdOut", true},
      {"-render=Direct3D -NullRender", true},
      {"-render=Direct3D", false},
      {"-render=", false},
  };
  for (const auto& c : cases) {
    Qel::OS os("KestroUtil", c.options, nullptr, nullptr);
    EXPECT_EQ(os.Init(), c.supported) << c.options;
    Qel::RenderKernel kernel(nullptr, 8.0f);
    EXPECT_EQ(kernel.Init(&os, nullptr), c.supported) << c.options;
  }
}

TEST(OS, RetryingWithNullRenderSucceeds) {
  Qel::OS os("KestroUtil", "-render=Direct3D", nullptr, nullptr);
  Qel::RenderKernel kernel(nullptr, 8.0f);
  ASSERT_FALSE(os.Init());
  os.GetOptions().ProcessRaw("-NullRender");
  EXPECT_TRUE(os.Init());
  EXPECT_TRUE(kernel.Init(&os, nullptr));
  EXPECT_EQ(kernel.GetOS(), &os);
  EXPECT_FALSE(kernel.Init(nullptr, nullptr));
  EXPECT_FALSE(kernel.IsInitialised());
}

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

TEST(ResourceSystem, PurgesReachTheCurrentOneOnly) {
  Qel::ResourceSystem::PurgeCurrent();
  {
    Qel::ResourceSystem system;
    EXPECT_EQ(Qel::ResourceSystem::GetCurrent(), &system);
    EXPECT_TRUE(system.Init(Qel::Options("-NullRender")));
    Qel::ResourceSystem::PurgeCurrent();
    Qel::ResourceSystem::PurgeCurrent();
    EXPECT_EQ(system.GetPurgeCount(), 2u);
  }
  EXPECT_EQ(Qel::ResourceSystem::GetCurrent(), nullptr);
  Qel::ResourceSystem::PurgeCurrent();
}

}  // namespace
