// A root unit is compiled a class at a time as the parser completes each; the library and the
// messages must be those of checking the whole tree first and generating after.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gscompiler/code_generator.h"
#include "gscompiler/compile_report.h"
#include "gscompiler/declare_fixture.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* name;
  Files files;    // the first one is compiled
  bool streamed;  // compiled class by class (true) or the whole-tree way after all
};

// Classes referenced first by code generation in the whole-tree order, ancestors' functions that
// derivation numbers, strings, defines, switches, waits and field initialisers.
const char kReferences[] =
    "class Base {\n"
    "  public int Area() { return 0; }\n"
    "  string Name() { return \"base\"; }\n"
    "};\n"
    "class Box isclass Base {\n"
    "  define int K = 3 * 2;\n"
    "  int w = K + 1;\n"
    "  string label = \"box\";\n"
    "  public int Area() { return w * w; }\n"
    "  int Pick(int v) {\n"
    "    int r;\n"
    "    switch (v) { case 5: r = 50; break; case 1: r = 10; default: r = 0; }\n"
    "    return r;\n"
    "  }\n"
    "  Box Make(int n) { int[] a = new int[n]; return new Box(); }\n"
    "  int Virtual(Base b) { return b.Area() + inherited(); }\n"
    "};\n"
    "game class Ear isclass Box {\n"
    "  Box[] boxes;\n"
    "  thread void Listen() {\n"
    "    wait () {\n"
    "      on \"A\", \"a\": ;\n"
    "      on \"B\", \"b\", boxes[1]: ;\n"
    "    }\n"
    "  }\n"
    "  bool Is(object o) { return cast<Box>(o) != null; }\n"
    "};\n"
    "class Late {\n"
    "  Base Make() { return cast<Base>(new Ear()); }\n"
    "  string Text() { return \"late\" + \"box\"; }\n"
    "};\n"
    "class Later isclass Late { int Area(Ear e) { return e.Area(); } };\n";

const Case kCases[] = {
    {"References", {{"u.gs", kReferences}}, true},
    // An error only in the check of a later class keeps generation's message of an earlier one
    // out, as a whole-tree compile never generates a unit that failed its check.
    {"CheckErrorAfterGenerationError",
     {{"u.gs", "class A { void f(); };\nclass B { void g() { x = 1; } };\n"}},
     false},
    {"GenerationError", {{"u.gs", "class A { void f() { } };\nclass B { void f(); };\n"}}, false},
    {"ParseErrorAfterClasses",
     {{"u.gs", "class A { void f() { } };\nclass B { void f() { } };\nclass C {\n"}},
     false},
    // The included units are parsed and declared from within the root's parse, before its first
    // class is checked.
    {"Includes",
     {{"u.gs",
       "include \"b.gs\"\ninclude \"c.gs\"\n"
       "class A isclass B { int g() { C c = new C(); return f() + c.h(); } };\n"},
      {"b.gs", "include \"c.gs\"\nclass B { int f() { return 1; } };\n"},
      {"c.gs", "class C { public int h() { string s = \"c\"; return 2; } };\n"}},
     true},
    {"IncludeWithError",
     {{"u.gs", "include \"b.gs\"\nclass A { };\nclass D { void f() { } };\n"},
      {"b.gs", "class B { void f() { x = ; } };\n"}},
     false},
};

class ClassStreamTest : public gs_test::DeclareFixture, public ::testing::WithParamInterface<Case> {
 protected:
  // The whole-tree compile: every class checked, then every class generated.
  i32 CompileWhole(const Files& files, std::vector<std::string>& messages, std::vector<u8>& image) {
    for (const auto& [name, text] : files) Put(name, text);
    IncludePathList& search = GetIncludeSearchList();
    search.Clear();
    search.Add("", Qel::PString());
    state_ = std::make_unique<GSCompilerState>();
    GSCompileLog log;
    i32 errors = DeclareTopUnit(*state_, files.front().first.c_str(), &log);
    if (errors != 0) {
      ReportMessage(&state_->rootUnit, ".. while compiling '%s'", files.front().first.c_str());
    } else if (!GSCompiler::GenerateUnit(*state_)) {
      log.Add("Internal Code Generation Error...");
      errors = 1;
    }
    Utils::ByteBuffer out;
    if (errors == 0 && !GSCompiler::GslWriter(out, *state_, &log, files.front().first.c_str())) {
      errors = 1;
    }
    while (const char* m = log.Take()) messages.push_back(m);
    if (errors == 0) image.assign(out.Data(), out.Data() + out.Size());
    return errors;
  }
};

TEST_P(ClassStreamTest, GivesTheWholeTreeLibraryAndMessages) {
  const Case& c = GetParam();
  std::vector<std::string> wholeMessages;
  std::vector<u8> wholeImage;
  const i32 wholeErrors = CompileWhole(c.files, wholeMessages, wholeImage);

  const i32 errors = Compile(c.files);
  EXPECT_EQ(errors, wholeErrors);
  EXPECT_EQ(messages_, wholeMessages);
  EXPECT_EQ(image_, wholeImage);
  // A streamed unit hands its classes over rather than keeping a tree.
  if (errors == 0) {
    EXPECT_EQ(state_->rootUnit.topLevel == nullptr, c.streamed);
  }
}

INSTANTIATE_TEST_SUITE_P(Units, ClassStreamTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
