// Start-up and shut-down pieces that run without a daemon: the script log, the plug-in holder and
// the end of online access.
#include "frontend/application.h"

#include <gtest/gtest.h>

#include <string>

#include "online/online_access_client_endpoint.h"
#include "qel/os.h"
#include "qelgfx/plugin.h"
#include "support/scratch_folder.h"

namespace {

TEST(ScriptLog, LongMessagesAreCutAtTheBufferEnd) {
  const std::string log = scratch::CaptureLog([] {
    ScriptLog("%s|", std::string(20000, 'a').c_str());
    ScriptLog("short %d", 7);
  });
  const size_t begin = log.find("ScriptLog> ") + 11;
  ASSERT_GT(begin, 10u);
  EXPECT_EQ(log.find_first_not_of('a', begin) - begin, 16383u);
  EXPECT_NE(log.find("ScriptLog> short 7"), std::string::npos);
}

TEST(PluginTypeRef, HoldsTheEngineBitmapTypeAndGivesItBack) {
  EXPECT_EQ(PluginTypeRef(Qel::UId(Qel::kBitmapPluginTypeId), "png").Get(), nullptr);
  EXPECT_EQ(PluginTypeRef(Qel::UId("4C414E80-BBDA-11d4-9AD7-0001025364B9"), "bmp").Get(), nullptr);
  EXPECT_EQ(PluginTypeRef(Qel::UId(), "").Get(), nullptr);
  PluginTypeRef holder(Qel::UId(Qel::kBitmapPluginTypeId), "BMP");
  Qel::PluginType* type = holder.Get();
  ASSERT_NE(type, nullptr);
  const u32 held = type->GetReferenceCount();
  {
    PluginTypeRef second(Qel::UId(Qel::kBitmapPluginTypeId), "bmp");
    EXPECT_EQ(second.Get(), type);
    EXPECT_EQ(type->GetReferenceCount(), held + 1);
  }
  holder.Release();
  holder.Release();
  EXPECT_EQ(holder.Get(), nullptr);
  EXPECT_EQ(type->GetReferenceCount(), held - 1);
}

// Online access ends in the tool's shut-down, while the daemon connection is still there, not
// in a static destructor after it.
TEST(ShutdownApplication, EndsOnlineAccess) {
  OnlineAccessClientEndpoint::Instance();
  ASSERT_TRUE(OnlineAccessClientEndpoint::HasInstance());
  EngineContext context{};
  ShutdownApplication(context);
  EXPECT_FALSE(OnlineAccessClientEndpoint::HasInstance());
}

}  // namespace
