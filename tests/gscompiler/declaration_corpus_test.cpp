// One script per declaration error, each with the exact message and error count, and a twin that
// differs in the one fault and declares without error.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gscompiler/declare_fixture.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* name;
  Files files;  // the first one is compiled
  std::vector<std::string> messages;
  Files twin;
};

Files U(const std::string& text) { return {{"u.gs", text}}; }

std::string Nested(int depth) {
  std::string expression = "1";
  for (int i = 0; i < depth; ++i) expression = "1 + (" + expression + ")";
  return "class A {\n  int x = " + expression + ";\n};\n";
}

const Case kCases[] = {
    // Derivation.
    {"ParentMissing",
     U("class A { };\nclass B isclass\n  Nope { };\n"),
     {"u.gs(3) : Class Nope has not been declared, line 3."},
     U("class A { };\nclass B isclass\n  A { };\n")},
    {"StaticParent",
     U("static class S { };\nclass A isclass S { };\n"),
     {"u.gs(2) : Cannot extend static class S, line 2."},
     U("static class S { };\nclass A { };\n")},
    {"FinalParent",
     U("final class F { };\nclass A isclass F { };\n"),
     {"u.gs(2) : Cannot extend final class F, line 2."},
     U("game class F { };\nclass A isclass F { };\n")},
    {"DerivesFromItself",
     U("class A isclass A { };\n"),
     {"u.gs(1) : Class A and A causes cyclic derivation, line 1."},
     U("class A { };\n")},
    {"Diamond",
     U("class A { int a; };\nclass B isclass A { };\nclass C isclass A { };\n"
       "class D isclass B,\n  C { };\n"),
     {"u.gs(5) : Class C and A causes cyclic derivation, line 5."},
     U("class A { int a; };\nclass B isclass A { };\nclass C { };\nclass D isclass B,\n  C { "
       "};\n")},
    {"ParentNamedTwice",
     U("class A { };\nclass B isclass A, A { };\n"),
     {"u.gs(2) : Class A and A causes cyclic derivation, line 2."},
     U("class A { };\nclass B isclass A { };\n")},
    {"CycleAcrossIncludes",
     {{"a.gs", "include \"b.gs\"\nclass A isclass B { };\n"},
      {"b.gs", "include \"a.gs\"\n\nclass B isclass A { };\n"}},
     {"b.gs(3) : Class A and A causes cyclic derivation, line 3."},
     {{"a.gs", "include \"b.gs\"\nclass A isclass B { };\n"},
      {"b.gs", "include \"a.gs\"\n\nclass B { };\n"}}},
    // Classes; both errors end the pass, so the later fault goes unreported.
    {"ClassSpecifiers",
     U("class A { };\npublic class B { };\nclass A { };\n"),
     {"u.gs(2) : Class has illegal declaration specifiers, line 2."},
     U("class A { };\nstatic final game class B { };\nclass C { };\n")},
    {"ClassTwice",
     U("class A { };\n\nclass A { };\nclass A { };\n"),
     {"u.gs(3) : Class A has already been declared, line 3."},
     U("class A { };\n\nclass B { };\n")},
    // Functions.
    {"FunctionSpecifiers",
     U("class A {\n  static void f() { }\n};\n"),
     {"u.gs(2) : Function has illegal declaration specifiers, line 2."},
     U("class A {\n  public final void f() { }\n};\n")},
    {"NativeThread",
     U("class A {\n  native thread void f();\n};\n"),
     {"u.gs(2) : Function has illegal declaration specifiers, line 2."},
     U("class A {\n  native void f();\n};\n")},
    {"ReturnClassMissing",
     U("class A {\n  Nope f() { return null; }\n};\n"),
     {"u.gs(2) : object<Nope> not declared, line 2."},
     U("class A {\n  A f() { return null; }\n};\n")},
    {"ParameterClassMissing",
     U("class A {\n  void f(int a,\n    Nope[] b) { }\n};\n"),
     {"u.gs(3) : object<Nope> not declared, line 3."},
     U("class A {\n  void f(int a,\n    A[] b) { }\n};\n")},
    {"FinalOverride",
     U("class A {\n  final void f(int a) { }\n};\nclass B isclass A {\n  void f(int b) { }\n};\n"),
     {"u.gs(5) : Cannot override final function, line 5."},
     U("class A {\n  final void f(int a) { }\n};\nclass B isclass A {\n  void f(float b) { }\n};"
       "\n")},
    {"FunctionTwice",
     U("class A {\n  void f(int a) { }\n  void f(int b) { }\n  int x, x;\n};\n"),
     {"u.gs(3) : Function f already declared, line 3."},
     U("class A {\n  void f(int a) { }\n  void f(float b) { }\n  int x, y;\n};\n")},
    {"DiffersOnlyByReturn",
     U("class A {\n  void f(int a);\n  int f(int b) { return b; }\n};\n"),
     {"u.gs(3) : Function differs only by return type, line 3."},
     U("class A {\n  int f(int a);\n  int f(int b) { return b; }\n};\n")},
    {"PrototypeSpecifiers",
     U("class A {\n  void f(int a);\n  public void f(int b) { }\n};\n"),
     {"u.gs(3) : Function specifiers differ from prototype, line 3."},
     U("class A {\n  public void f(int a);\n  public void f(int b) { }\n};\n")},
    {"ThreadReturnsValue",
     U("class A {\n  thread int f() { return 1; }\n};\n"),
     {"u.gs(2) : thread function must return void, line 2."},
     U("class A {\n  thread void f() { }\n};\n")},
    // Variables.
    {"ParameterTwice",
     U("class A {\n  void f(int a,\n    int a) { }\n};\n"),
     {"u.gs(3) : Variable a already declared in this scope, line 3."},
     U("class A {\n  void f(int a,\n    int b) { }\n};\n")},
    {"LocalTwice",
     U("class A {\n  void f() {\n    int x;\n    float x;\n  }\n};\n"),
     {"u.gs(4) : Variable x already declared in this scope, line 4."},
     U("class A {\n  void f() {\n    int x;\n    { float x; }\n  }\n};\n")},
    {"LocalHidesParameter",
     U("class A {\n  void f(int a) {\n    int a;\n  }\n};\n"),
     {"u.gs(3) : Variable a already declared in this scope, line 3."},
     U("class A {\n  void f(int a) {\n    { int a; }\n  }\n};\n")},
    {"MemberTwice",
     U("class A {\n  int x;\n  string x;\n};\n"),
     {"u.gs(3) : Variable x already declared in this scope, line 3."},
     U("class A {\n  int x;\n  string y;\n  void f() { int x; }\n};\n")},
    {"MemberClassMissing",
     U("class A {\n  Nope n;\n};\n"),
     {"u.gs(2) : object<Nope> not declared, line 2."},
     U("class A {\n  A n;\n};\n")},
    {"LocalClassMissing",
     U("class A {\n  void f() {\n\n    Nope n;\n  }\n};\n"),
     {"u.gs(4) : object<Nope> not declared, line 4."},
     U("class A {\n  void f() {\n\n    A n;\n  }\n};\n")},
    {"MemberSpecifiers",
     U("class A {\n  static int x;\n};\n"),
     {"u.gs(2) : member declaration has invalid specifiers, line 2."},
     U("class A {\n  public int x;\n};\n")},
    {"DefineWithoutValue",
     U("class A {\n  define int x;\n};\n"),
     {"u.gs(2) : define variable must have a const assignment, line 2."},
     U("class A {\n  define int x = 4;\n};\n")},
    {"DefineOfAVariable",
     U("class A {\n  int y;\n  define int x = y;\n};\n"),
     {"u.gs(3) : define variable must have a const assignment, line 3."},
     U("class A {\n  int y;\n  define int x = -2 * (3 << 2) + 1;\n};\n")},
    {"MemberInitialiserType",
     U("class A {\n  int x = \"text\";\n};\n"),
     {"u.gs(2) : cannot cast from string to int, line 2."},
     U("class A {\n  int x = 2.5;\n  string s = 1;\n};\n")},
    {"LocalInitialiserType",
     U("class A {\n  void f() {\n    object o = 5;\n  }\n};\n"),
     {"u.gs(3) : cannot cast from int to object, line 3."},
     U("class A {\n  void f() {\n    object o = null;\n  }\n};\n")},
    // The walk.
    {"NestedTooDeep", U(Nested(130)), {"Stack overflow; code nested too deep."}, U(Nested(100))},
};

class DeclarationCorpusTest : public gs_test::DeclareFixture,
                              public ::testing::WithParamInterface<Case> {};

TEST_P(DeclarationCorpusTest, ReportsTheOneErrorAndTheTwinDeclares) {
  const Case& c = GetParam();
  EXPECT_EQ(Declare(c.files), 1);
  EXPECT_EQ(messages_, c.messages);
  EXPECT_EQ(state_->rootUnit.errorCount, 1);
  EXPECT_EQ(state_->symbols.Level(), 0) << "every level that opened has closed";

  EXPECT_EQ(Declare(c.twin), 0) << ::testing::PrintToString(messages_);
  EXPECT_TRUE(messages_.empty()) << ::testing::PrintToString(messages_);
}

INSTANTIATE_TEST_SUITE_P(OneError, DeclarationCorpusTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
