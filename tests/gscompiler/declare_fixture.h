// Declares sources written into a scratch folder through the driver, as a compile does before
// code generation, and keeps the state for inspection.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/include_path_list.h"
#include "gscompiler/script_test_folder.h"

namespace gs_test {

class DeclareFixture : public ScriptTestFolder {
 protected:
  void TearDown() override {
    state_.reset();
    GetIncludeSearchList().Clear();
    ScriptTestFolder::TearDown();
  }

  // Writes the files and declares the first one; returns the error count.
  i32 Declare(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, text] : files) Put(name, text);
    IncludePathList& search = GetIncludeSearchList();
    search.Clear();
    search.Add("", Qel::PString());
    state_ = std::make_unique<GSCompilerState>();
    messages_.clear();
    const i32 errors = DeclareTopUnit(*state_, files.front().first.c_str(), &log_);
    while (const char* m = log_.Take()) messages_.push_back(m);
    return errors;
  }
  i32 Declare(const std::string& source) { return Declare({{"u.gs", source}}); }

  GSCompiler::GSClassSymbol* Class(const char* name) const {
    return state_->symbols.LookupClass(name);
  }
  GSCompiler::GSSymbol* Member(const char* cls, const char* name) const {
    GSCompiler::GSClassSymbol* c = Class(cls);
    return c != nullptr ? c->FindMember(name) : nullptr;
  }

  GSCompileLog log_;
  std::unique_ptr<GSCompilerState> state_;
  std::vector<std::string> messages_;
};

}  // namespace gs_test
