// What the suites that drive the standard classes from a compiled probe script share: the probe
// compiled once against gslib, the script errors raised, and calls that give a string result.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/include_path_list.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_call.h"
#include "scripthost/script_system.h"
#include "scripthost/standard_natives.h"
#include "support/scratch_folder.h"

namespace script_probe {

inline std::vector<std::string>& Errors() {
  static std::vector<std::string> errors;
  return errors;
}

// The exception hook: the error's text, less the note of the file that raised it.
inline void CaptureError(const char* text, GSRuntime::GSStack*, GSRuntime::GSThreadOwner*, bool) {
  const std::string_view raised(text);
  Errors().emplace_back(raised.substr(0, raised.find(" (file ")));
}

// A new folder holding `fileName` compiled from `text`, with gslib as the include root.
inline std::unique_ptr<scratch::Folder> Compile(const char* fileName, const char* text) {
  auto made = std::make_unique<scratch::Folder>();
  made->Put(fileName, text);
  IncludePathList includes;
  includes.Add(KESTRO_TEST_DATA_DIR "/../../gslib", Qel::PString());
  GSCompileLog log;
  EXPECT_EQ(CompileLibraryFile(made->At(fileName).c_str(), nullptr, &includes, &log), 0);
  return made;
}

// Forgets the script system and the machine, so that the next set-up starts afresh.
inline void Forget() {
  GSMachine::RemoveInitHook(ScriptHost::RegisterStandardNatives);
  ScriptHost::ResetScriptSystemForTests();
  GSMachine::ResetForTests();
}

// A fresh script system with the probe's folder registered and the error hook installed; the
// class "Probe" of the library, or null.
inline GSRuntime::GSClass* SetUp(const scratch::Folder& folder, const char* library) {
  Errors().clear();
  GSMachine::SetExceptionHook(CaptureError);
  Forget();
  if (!ScriptHost::InitScriptSystem(KESTRO_BINARY_DIR)) return nullptr;
  GSMachine::Instance().AddLibraryFolder("", folder.path());
  GSRuntime::GSLibrary* found = GSMachine::Instance().FindLibrary(library);
  return found != nullptr ? found->FindClass("Probe") : nullptr;
}
inline void TearDown() {
  Forget();
  GSMachine::SetExceptionHook(nullptr);
}

// The string a method returns; "<failed>" when the call fails.
inline std::string Text(GSRuntime::ScriptObjectHolder& holder, const std::string& method,
                        const std::vector<GSRuntime::ScriptArgument>& arguments = {}) {
  u32 word = 0;
  if (!holder.Call(holder.FindPublicMethod(method, arguments), arguments, &word)) {
    return "<failed>";
  }
  const GSRuntime::GSString* text = GSRuntime::GSString::FromReference(word);
  std::string result = text != nullptr ? text->Std() : "<null>";
  GSRuntime::ObjectBridge::ReleaseIfSet(word);
  return result;
}

// Calls a method that must fail; the script error it raised.
inline std::string Failure(GSRuntime::ScriptObjectHolder& holder, const std::string& method,
                           const std::vector<GSRuntime::ScriptArgument>& arguments) {
  Errors().clear();
  u32 word = 0;
  EXPECT_FALSE(holder.Call(holder.FindPublicMethod(method, arguments), arguments, &word)) << method;
  return Errors().empty() ? std::string() : Errors().front();
}

// What a command wrote to its standard output and error.
inline std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// A fixture's probe object and its calls.
class ProbeCalls {
 protected:
  explicit ProbeCalls(GSRuntime::ScriptObjectHolder::ContextFactory factory = nullptr)
      : probe_(factory) {}

  static std::string Text(GSRuntime::ScriptObjectHolder& holder, const std::string& method,
                          const std::vector<GSRuntime::ScriptArgument>& arguments = {}) {
    return script_probe::Text(holder, method, arguments);
  }
  std::string Text(const std::string& method,
                   const std::vector<GSRuntime::ScriptArgument>& arguments = {}) {
    return script_probe::Text(probe_, method, arguments);
  }
  // Calls a method that must fail; the script error it raised.
  std::string Failure(const std::string& method,
                      const std::vector<GSRuntime::ScriptArgument>& arguments) {
    return script_probe::Failure(probe_, method, arguments);
  }

  GSRuntime::GSClass* probeClass_ = nullptr;
  GSRuntime::ScriptObjectHolder probe_;
};

// Two holders of the class, each prepared by `prepare(first, second)`, end in both orders; after
// the early one ends, `checkLate(late)` runs on the other. Nothing native may outlive them.
template <class Prepare, class CheckLate>
void EndInEitherOrder(GSRuntime::GSClass* cls,
                      GSRuntime::ScriptObjectHolder::ContextFactory factory, Prepare prepare,
                      CheckLate checkLate) {
  const u32 baseline = GSRuntime::GSObjectReference::LiveCount();
  for (bool firstGoesFirst : {true, false}) {
    GSRuntime::ScriptObjectHolder first(factory);
    GSRuntime::ScriptObjectHolder second(factory);
    ASSERT_TRUE(first.Create(cls));
    ASSERT_TRUE(second.Create(cls));
    prepare(first, second);
    GSRuntime::ScriptObjectHolder& early = firstGoesFirst ? first : second;
    GSRuntime::ScriptObjectHolder& late = firstGoesFirst ? second : first;
    early.Destroy();
    checkLate(late);
    late.Destroy();
  }
  EXPECT_EQ(GSRuntime::GSObjectReference::LiveCount(), baseline);
}

}  // namespace script_probe
