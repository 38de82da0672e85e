#include "qel/file_volume.h"

#include <gtest/gtest.h>

namespace {

TEST(FileVolumeTest, RegistersReplacesAndRemoves) {
  Qel::SetVolume("vol_test", "/opt/kestro/bin/data");
  Qel::SetVolume("vol_other", "C:\\Kestro\\Other\\");
  // Names compare without regard to case; backslashes read as slashes.
  EXPECT_EQ(Qel::GetVolume("VOL_Test"), "/opt/kestro/bin/data");
  EXPECT_EQ(Qel::GetVolume("vol_other"), "C:/Kestro/Other/");

  Qel::SetVolume("Vol_Test", "/elsewhere");  // replaces
  Qel::SetVolume("vol_test", "");
  EXPECT_TRUE(Qel::GetVolume("vol_test").IsEmpty());
  EXPECT_EQ(Qel::GetVolume("vol_other"), "C:/Kestro/Other/");
  Qel::SetVolume("VOL_OTHER", nullptr);
  EXPECT_TRUE(Qel::GetVolume("vol_other").IsEmpty());

  // An empty name registers nothing.
  Qel::SetVolume(Qel::PString(), "/x");
  EXPECT_TRUE(Qel::GetVolume(Qel::PString()).IsEmpty());
}

}  // namespace
