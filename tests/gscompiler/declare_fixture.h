// Declares or compiles sources written into a scratch folder through the driver, and keeps the
// state, the messages and the library image for inspection.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gscommon/byte_buffer.h"
#include "gscommon/library_image.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_environment.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gsl_writer.h"
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

  // The whole compile of the first file into image_ and library_: its error count, 1 when the
  // writer failed; the messages as the driver logs them.
  i32 Compile(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, text] : files) Put(name, text);
    IncludePathList& search = GetIncludeSearchList();
    search.Clear();
    search.Add("", Qel::PString());
    state_ = std::make_unique<GSCompilerState>();
    messages_.clear();
    image_.clear();
    library_ = {};
    i32 errors = CompileTopUnit(*state_, files.front().first.c_str(), &log_);
    Utils::ByteBuffer image;
    if (errors == 0 && !GSCompiler::GslWriter(image, *state_, &log_, files.front().first.c_str())) {
      errors = 1;
    }
    while (const char* m = log_.Take()) messages_.push_back(m);
    if (errors != 0) return errors;
    image_.assign(image.Data(), image.Data() + image.Size());
    std::string error;
    EXPECT_TRUE(
        GSLibraryFormat::ReadLibraryImage(image_.data(), u32(image_.size()), &library_, &error))
        << error;
    return 0;
  }
  i32 Compile(const std::string& source) { return Compile({{"u.gs", source}}); }

  // The listing of the library's function of that signature text, without its name line and the
  // line markers.
  std::string Listing(const std::string& signature) const {
    for (const GSLibraryFormat::ClassImage& c : library_.classes) {
      for (const GSByteCode::FunctionRecord& f : c.functions) {
        if (library_.String(f.header.name) != signature) continue;
        std::string text = GSLibraryFormat::DescribeFunction(library_, f), kept;
        for (size_t at = 0; at < text.size();) {
          const size_t end = text.find('\n', at);
          const std::string line = text.substr(at, end - at + 1);
          if (line.rfind("; line", 0) != 0 && line.rfind("function ", 0) != 0) kept += line;
          at = end == std::string::npos ? text.size() : end + 1;
        }
        return kept;
      }
    }
    return "no function " + signature;
  }

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
  std::vector<u8> image_;
  GSLibraryFormat::LibraryImage library_;
};

}  // namespace gs_test
