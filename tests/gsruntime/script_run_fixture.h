// Compiles a script into a scratch folder, loads it, makes one object of a class and calls its
// methods, keeping every log line.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/include_path_list.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/script_call.h"
#include "support/scratch_folder.h"

namespace gs_test {

inline std::vector<std::string>& LogLines() {
  static std::vector<std::string> lines;
  return lines;
}

inline void CaptureLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  std::string line(size_t(std::vsnprintf(nullptr, 0, format, args)) + 1, '\0');
  std::vsnprintf(line.data(), line.size(), format, again);
  va_end(again);
  va_end(args);
  line.pop_back();
  LogLines().push_back(std::move(line));
}

class ScriptRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogLines().clear();
    GSMachine::SetLogHook(CaptureLine);
    GSMachine::ResetForTests();
  }
  void TearDown() override {
    object_.Destroy();
    GSMachine::ResetForTests();
    GSMachine::SetLogHook(nullptr);
  }

  // Compiles `text` as "unit.gs", loads it and makes an object of `cls`.
  void Build(const std::string& text, const char* cls, const IncludePathList* includes = nullptr) {
    folder_.Put("unit.gs", text);
    GSCompileLog log;
    ASSERT_EQ(CompileLibraryFile(folder_.At("unit.gs").c_str(), nullptr, includes, &log), 0);
    GSMachine::Instance().AddLibraryFolder(folder_.path(), "");
    library_ = GSMachine::Instance().FindLibrary("unit.gsl");
    ASSERT_NE(library_, nullptr);
    ASSERT_TRUE(object_.Create(library_->FindClass(cls)));
  }
  GSRuntime::GSFunction* Function(const char* cls, const std::string& signature) {
    GSRuntime::GSClass* c = library_->FindClass(cls);
    const i32 index = c != nullptr ? c->FindFunction(signature) : -1;
    return index < 0 ? nullptr : &c->functions[size_t(index)];
  }
  // Overwrites the start of a function's code behind the verifier's back.
  void PatchCode(const char* cls, const std::string& signature, const std::vector<u8>& bytes) {
    GSRuntime::GSFunction* f = Function(cls, signature);
    ASSERT_TRUE(f != nullptr && f->record.codeLength >= bytes.size()) << signature;
    std::memcpy(const_cast<u8*>(f->record.code), bytes.data(), bytes.size());
  }
  bool Call(const std::string& method, const std::vector<GSRuntime::ScriptArgument>& arguments,
            u32* word) {
    return object_.Call(object_.FindPublicMethod(method, arguments), arguments, word);
  }
  static bool Logged(const std::string& text) {
    for (const std::string& line : LogLines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  scratch::Folder folder_;
  GSRuntime::GSLibrary* library_ = nullptr;
  GSRuntime::ScriptObjectHolder object_;
};

}  // namespace gs_test
