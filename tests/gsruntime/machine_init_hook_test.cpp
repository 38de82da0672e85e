#include <gtest/gtest.h>

#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_native_function.h"

namespace {

int g_hookRuns = 0;

void RegisterProbe(GSMachine& machine) {
  ++g_hookRuns;
  machine.RegisterNative(new GSRuntime::GSCNativeFunction("Probe", "$void@Probe::Run()", nullptr));
}

bool HasProbe() { return GSMachine::Instance().FindNative("Probe", "$void@Probe::Run()") != nullptr; }

// A host's natives come back with every set-up of the machine, beside the built-in ones, until
// the host takes its hook away.
TEST(MachineInitHookTest, HostNativesAreRegisteredAgainByEverySetUp) {
  GSMachine::ResetForTests();
  const u32 builtIns = GSMachine::Instance().NativeCount();
  ASSERT_GT(builtIns, 0u);
  ASSERT_NE(GSMachine::Instance().FindNative("Str", "$int@Str::Find(string,string,int)"), nullptr);

  GSMachine::AddInitHook(RegisterProbe);
  GSMachine::AddInitHook(RegisterProbe);
  EXPECT_EQ(g_hookRuns, 1);
  EXPECT_TRUE(HasProbe());

  GSMachine::Instance().Shutdown();
  GSMachine::Instance().Init();
  EXPECT_EQ(g_hookRuns, 2);
  EXPECT_TRUE(HasProbe());
  EXPECT_EQ(GSMachine::Instance().NativeCount(), builtIns + 1);

  GSMachine::RemoveInitHook(RegisterProbe);
  GSMachine::ResetForTests();
  EXPECT_FALSE(HasProbe());
  EXPECT_EQ(GSMachine::Instance().NativeCount(), builtIns);
}

}  // namespace
