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
  g_hookRuns = 0;
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

int g_lateBinds = 0;

void BindLate(GSMachine& machine, const Qel::PString& className) {
  ++g_lateBinds;
  for (const char* signature : {"$void@Late::Run()", "$void@Late::Stop()"}) {
    machine.RegisterNative(new GSRuntime::GSCNativeFunction(className, signature, nullptr));
  }
}

// A class's natives are made by its binder when one is first looked up, once, and rank as if made
// when the class was registered: a native registered for it later still takes precedence.
TEST(MachineInitHookTest, AClassesNativesAreMadeOnFirstLookupOnce) {
  GSMachine::ResetForTests();
  GSMachine& machine = GSMachine::Instance();
  const u32 builtIns = machine.NativeCount();
  g_lateBinds = 0;
  machine.RegisterNativeClass("Late", BindLate);
  EXPECT_EQ(machine.NativeCount(), builtIns);
  EXPECT_EQ(machine.FindNative("Other", "$void@Other::Run()"), nullptr);
  EXPECT_EQ(g_lateBinds, 0);

  auto* later = new GSRuntime::GSCNativeFunction("Late", "$void@Late::Stop()", nullptr);
  machine.RegisterNative(later);
  EXPECT_EQ(g_lateBinds, 1);
  EXPECT_EQ(machine.FindNative("Late", "$void@Late::Stop()"), later);
  GSRuntime::GSNativeFunction* run = machine.FindNative("Late", "$void@Late::Run()");
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(machine.FindNative("Late", "$void@Late::Missing()"), nullptr);
  EXPECT_EQ(machine.FindNative("Late", "$void@Late::Run()"), run);
  EXPECT_EQ(g_lateBinds, 1);
  EXPECT_EQ(machine.NativeCount(), builtIns + 3);

  // A machine set up again has forgotten the class with its natives.
  GSMachine::ResetForTests();
  EXPECT_EQ(GSMachine::Instance().FindNative("Late", "$void@Late::Run()"), nullptr);
  EXPECT_EQ(g_lateBinds, 1);
}

}  // namespace
