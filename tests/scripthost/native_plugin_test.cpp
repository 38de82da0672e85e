#include "scripthost/native_plugin.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "pymclient/install_paths.h"
#include "scripthost/kestro_script_context.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kPluginBuild = KESTRO_BINARY_DIR "/test_plugins/";

// An installation root whose plug-in folder holds the test plug-ins, and the echo plug-in once
// more one folder up, where a name that climbs out of the plug-in folder would find it.
class NativePluginTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"echo_plugin", "silent_plugin", "refusing_plugin"}) {
      root_.Put(std::string("bin/plugins/") + name + ".so");
      fs::copy_file(kPluginBuild + name + ".so", root_.At(std::string("bin/plugins/") + name + ".so"),
                    fs::copy_options::overwrite_existing);
    }
    fs::copy_file(kPluginBuild + "echo_plugin.so", root_.At("bin/outside.so"));
    ASSERT_TRUE(InitInstallPaths(Qel::File::Path(root_.path().c_str())));
  }
  void TearDown() override {
    ScriptHost::ReleaseNativeHandles(block_);
    QMIRelease(block_);
    ClearInstallPaths();
  }

  QMIObject* Load(const std::string& name) { return ScriptHost::LoadNativePlugin(block_, name); }

  scratch::Folder root_;
  QMIObject* block_ = QMIAllocBlock();
};

TEST_F(NativePluginTest, EchoAnswersItsArgumentAfterOneInit) {
  QMIObject* echo = Load("echo_plugin");
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(ScriptHost::CallNativeFunction(echo, "Echo", {"hello", "more"}), "hello");
  EXPECT_EQ(ScriptHost::CallNativeFunction(echo, "Count", {}), "1");
  // A second handle of the same module gets its own "Init".
  QMIObject* again = Load("echo_plugin");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(ScriptHost::CallNativeFunction(again, "Count", {}), "1");
  ScriptHost::ReleaseNativePlugin(again);
  ScriptHost::ReleaseNativePlugin(echo);
}

TEST_F(NativePluginTest, NoResultOrANonStringGivesEmptyText) {
  QMIObject* echo = Load("echo_plugin");
  QMIObject* silent = Load("silent_plugin");
  ASSERT_NE(echo, nullptr);
  ASSERT_NE(silent, nullptr);
  EXPECT_EQ(ScriptHost::CallNativeFunction(echo, "Number", {"x"}), "");     // an array
  EXPECT_EQ(ScriptHost::CallNativeFunction(echo, "Unknown", {"x"}), "");    // nothing
  EXPECT_EQ(ScriptHost::CallNativeFunction(echo, "Echo", {}), "");          // echoes no text
  EXPECT_EQ(ScriptHost::CallNativeFunction(silent, "Echo", {"x"}), "");
  EXPECT_EQ(ScriptHost::CallNativeFunction(nullptr, "Echo", {"x"}), "");
  QMIRelease(silent);
  QMIRelease(echo);
}

TEST_F(NativePluginTest, HostileNamesAreRefusedWithALogLine) {
  for (const char* name : {"../outside", "../plugins/echo_plugin", "..", "a/b", "/tmp/echo_plugin",
                           "echo\\plugin", "x..y", ""}) {
    QMIObject* handle = reinterpret_cast<QMIObject*>(1);
    const std::string log = scratch::CaptureLog([&] { handle = Load(name); });
    EXPECT_EQ(handle, nullptr) << name;
    EXPECT_NE(log.find("Refused the plug-in name \"" + std::string(name) + "\""),
              std::string::npos)
        << name << ": " << log;
  }
  EXPECT_TRUE(ScriptHost::IsPluginNameSafe("echo_plugin"));
  EXPECT_TRUE(ScriptHost::IsPluginNameSafe("my.plugin"));
}

TEST_F(NativePluginTest, MissingOrRefusingModulesGiveNullAndLeaveNothingLoaded) {
  EXPECT_EQ(Load("absent"), nullptr);
  EXPECT_EQ(Load("refusing_plugin"), nullptr);
  // The refusing module was unloaded again.
  const std::string path = root_.At("bin/plugins/refusing_plugin.so");
  EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

// A module cut short would take the process down inside the loader; it, and a named pipe in the
// plug-in folder, give null and a log line that names the module.
TEST_F(NativePluginTest, DamagedModulesAreNamedAndNeverLoaded) {
  for (const auto size : {std::uintmax_t(3000), std::uintmax_t(64), std::uintmax_t(0)}) {
    const std::string path = root_.At("bin/plugins/cut.so");
    fs::copy_file(kPluginBuild + "echo_plugin.so", path, fs::copy_options::overwrite_existing);
    fs::resize_file(path, size);
    QMIObject* handle = reinterpret_cast<QMIObject*>(1);
    const std::string log = scratch::CaptureLog([&] { handle = Load("cut"); });
    EXPECT_EQ(handle, nullptr) << size;
    EXPECT_NE(log.find("The plug-in \"" + path + "\" cannot be loaded"), std::string::npos)
        << size << ": " << log;
  }
  ASSERT_EQ(::mkfifo(root_.At("bin/plugins/pipe.so").c_str(), 0600), 0);
  const std::string log = scratch::CaptureLog([&] { EXPECT_EQ(Load("pipe"), nullptr); });
  EXPECT_NE(log.find("pipe.so\" cannot be loaded: it is no regular file"), std::string::npos)
      << log;
  // The whole module still loads.
  QMIObject* echo = Load("echo_plugin");
  EXPECT_NE(echo, nullptr);
  ScriptHost::ReleaseNativePlugin(echo);
}

// Objects made by a plug-in belong to the interface library: they outlive the plug-in's handle,
// the block and the context that loaded it (ASan reports any read of freed memory here).
TEST_F(NativePluginTest, ResultsOutliveTheirPluginAndItsContext) {
  QMIObject* result = nullptr;
  {
    auto context = std::make_unique<KestroScriptContext>();
    QMIObject* echo = context->LoadNativeLibrary(Qel::PString("echo_plugin"));
    ASSERT_NE(echo, nullptr);
    QMIObject* name = QMIAllocString("Echo");
    QMIObject* args = QMIAllocArray(1);
    QMIObject* text = QMIAllocString("kept");
    QMISetArrayElement(args, 0, text);
    QMIRelease(text);
    result = QMICallLibraryFunction(echo, name, args);
    QMIRelease(args);
    QMIRelease(name);
    QMIRelease(echo);
  }
  ASSERT_EQ(QMIGetObjectClass(result), kQMIClassString);
  EXPECT_STREQ(QMIGetStringText(result), "kept");
  QMIRelease(result);
}

TEST(NativeInterfaceTest, ObjectsRefuseTheWrongClassAndOutOfRangeSlots) {
  QMIObject* text = QMIAllocString("t");
  QMIObject* array = QMIAllocArray(1);
  EXPECT_EQ(QMIGetStringText(array), nullptr);
  EXPECT_EQ(QMISetArrayElement(text, 0, array), 0);
  EXPECT_EQ(QMISetArrayElement(array, 1, text), 0);
  EXPECT_EQ(QMICallLibraryFunction(text, text, nullptr), nullptr);
  EXPECT_EQ(QMISetBlockHandle(array, 0, nullptr), 0);
  // The array keeps its element alive after the caller's reference goes.
  ASSERT_EQ(QMISetArrayElement(array, 0, text), 1);
  QMIRelease(text);
  EXPECT_STREQ(QMIGetStringText(QMIGetArrayElement(array, 0)), "t");
  QMIRelease(array);
  // A block releases the handles it still holds with itself.
  QMIObject* block = QMIAllocBlock();
  EXPECT_EQ(QMISetBlockHandle(block, 1, QMIAllocString("held")), 1);
  QMIRelease(block);
}

}  // namespace
