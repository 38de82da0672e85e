// One script per compiler message (parse, declaration, checks, code generation), each compiled
// whole with its exact messages and error count, and a twin that differs in the one fault and
// compiles into a library.
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
  i32 errors = 1;
  // What the driver adds: the unit that failed, or that generation failed.
  const char* tail = ".. while compiling 'u.gs'";
};

constexpr const char* kGenerationFailed = "Internal Code Generation Error...";

Files U(const std::string& text) { return {{"u.gs", text}}; }
// A case with one message.
Case C(const char* name, Files files, const std::string& message, Files twin, i32 errors = 1) {
  return {name, std::move(files), {message}, std::move(twin), errors};
}

// A function body of class A whose first line is line 3; with a one-line prefix, line 4.
Files Fn(const std::string& body, const std::string& prefix = "", const char* type = "void") {
  return U((prefix.empty() ? "" : prefix + "\n") + "class A {\n  " + type + " f() {\n" + body +
           "  }\n};\n");
}
std::string M(int line, const std::string& text) {
  return "u.gs(" + std::to_string(line) + ") : " + text;
}

// A member initialised with a sum of `terms` ones: a tree as deep as the sum is long.
std::string Sum(int terms) {
  std::string expression = "1";
  for (int i = 1; i < terms; ++i) expression += " + 1";
  return "class A {\n  int x = " + expression + ";\n};\n";
}

const Case kCases[] = {
    // Parsing: a syntax error counts twice.
    C("SyntaxError", U("class A {\n  void f() { x = ; }\n};\n"), "u.gs(2) : parse error, line 2",
      U("class A {\n  void f() { int x; x = 1; }\n};\n"), 2),
    {"MissingInclude",
     U("include \"nope.gs\"\nclass A { };\n"),
     {"Could not read file  : nope.gs.", ".. while compiling 'nope.gs'"},
     {{"u.gs", "include \"b.gs\"\nclass A { };\n"}, {"b.gs", "class B { };\n"}}},
    // Derivation.
    C("ParentMissing", U("class A { };\nclass B isclass\n  Nope { };\n"),
      "u.gs(3) : Class Nope has not been declared, line 3.",
      U("class A { };\nclass B isclass\n  A { };\n")),
    C("StaticParent", U("static class S { };\nclass A isclass S { };\n"),
      "u.gs(2) : Cannot extend static class S, line 2.", U("static class S { };\nclass A { };\n")),
    C("FinalParent", U("final class F { };\nclass A isclass F { };\n"),
      "u.gs(2) : Cannot extend final class F, line 2.",
      U("game class F { };\nclass A isclass F { };\n")),
    C("DerivesFromItself", U("class A isclass A { };\n"),
      "u.gs(1) : Class A and A causes cyclic derivation, line 1.", U("class A { };\n")),
    C("Diamond",
      U("class A { int a; };\nclass B isclass A { };\nclass C isclass A { };\n"
        "class D isclass B,\n  C { };\n"),
      "u.gs(5) : Class C and A causes cyclic derivation, line 5.",
      U("class A { int a; };\nclass B isclass A { };\nclass C { };\nclass D isclass B,\n  C { "
        "};\n")),
    // An included class's derivation error is reported once, by the class that derives from it;
    // the twin's included classes have their ancestors and cast up to them.
    C("IncludedParentMissing",
      {{"u.gs", "include \"b.gs\"\nclass A isclass D { };\n"},
       {"b.gs", "class B { };\nclass D isclass\n  Nope { };\n"}},
      "b.gs(3) : Class Nope has not been declared, line 3.",
      {{"u.gs",
        "include \"b.gs\"\nclass A isclass D {\n  void f() { B b = new D(); b.g(); }\n};\n"},
       {"b.gs", "class B { public void g() { } };\nclass D isclass\n  B { };\n"}}),
    C("ParentNamedTwice", U("class A { };\nclass B isclass A, A { };\n"),
      "u.gs(2) : Class A and A causes cyclic derivation, line 2.",
      U("class A { };\nclass B isclass A { };\n")),
    {"CycleAcrossIncludes",
     {{"a.gs", "include \"b.gs\"\nclass A isclass B { };\n"},
      {"b.gs", "include \"a.gs\"\n\nclass B isclass A { };\n"}},
     {"b.gs(3) : Class A and A causes cyclic derivation, line 3."},
     {{"a.gs", "include \"b.gs\"\nclass A isclass B { };\n"},
      {"b.gs", "include \"a.gs\"\n\nclass B { };\n"}},
     1,
     ".. while compiling 'a.gs'"},
    // Classes; both errors end the pass, so the later fault goes unreported.
    C("ClassSpecifiers", U("class A { };\npublic class B { };\nclass A { };\n"),
      "u.gs(2) : Class has illegal declaration specifiers, line 2.",
      U("class A { };\nstatic final game class B { };\nclass C { };\n")),
    C("ClassTwice", U("class A { };\n\nclass A { };\nclass A { };\n"),
      "u.gs(3) : Class A has already been declared, line 3.", U("class A { };\n\nclass B { };\n")),
    // Functions.
    C("FunctionSpecifiers", U("class A {\n  static void f() { }\n};\n"),
      "u.gs(2) : Function has illegal declaration specifiers, line 2.",
      U("class A {\n  public final void f() { }\n};\n")),
    C("NativeThread", U("class A {\n  native thread void f();\n};\n"),
      "u.gs(2) : Function has illegal declaration specifiers, line 2.",
      U("class A {\n  native void f();\n};\n")),
    C("ReturnClassMissing", U("class A {\n  Nope f() { return null; }\n};\n"),
      "u.gs(2) : object<Nope> not declared, line 2.",
      U("class A {\n  A f() { return null; }\n};\n")),
    C("ParameterClassMissing", U("class A {\n  void f(int a,\n    Nope[] b) { }\n};\n"),
      "u.gs(3) : object<Nope> not declared, line 3.",
      U("class A {\n  void f(int a,\n    A[] b) { }\n};\n")),
    C("FinalOverride",
      U("class A {\n  final void f(int a) { }\n};\nclass B isclass A {\n  void f(int b) { }\n};\n"),
      "u.gs(5) : Cannot override final function, line 5.",
      U("class A {\n  final void f(int a) { }\n};\nclass B isclass A {\n  void f(float b) { }\n};"
        "\n")),
    C("FunctionTwice", U("class A {\n  void f(int a) { }\n  void f(int b) { }\n  int x, x;\n};\n"),
      "u.gs(3) : Function f already declared, line 3.",
      U("class A {\n  void f(int a) { }\n  void f(float b) { }\n  int x, y;\n};\n")),
    C("DiffersOnlyByReturn", U("class A {\n  void f(int a);\n  int f(int b) { return b; }\n};\n"),
      "u.gs(3) : Function differs only by return type, line 3.",
      U("class A {\n  int f(int a);\n  int f(int b) { return b; }\n};\n")),
    C("PrototypeSpecifiers", U("class A {\n  void f(int a);\n  public void f(int b) { }\n};\n"),
      "u.gs(3) : Function specifiers differ from prototype, line 3.",
      U("class A {\n  public void f(int a);\n  public void f(int b) { }\n};\n")),
    C("ThreadReturnsValue", U("class A {\n  thread int f() { return 1; }\n};\n"),
      "u.gs(2) : thread function must return void, line 2.",
      U("class A {\n  thread void f() { }\n};\n")),
    // Variables.
    C("ParameterTwice", U("class A {\n  void f(int a,\n    int a) { }\n};\n"),
      "u.gs(3) : Variable a already declared in this scope, line 3.",
      U("class A {\n  void f(int a,\n    int b) { }\n};\n")),
    C("LocalTwice", U("class A {\n  void f() {\n    int x;\n    float x;\n  }\n};\n"),
      "u.gs(4) : Variable x already declared in this scope, line 4.",
      U("class A {\n  void f() {\n    int x;\n    { float x; }\n  }\n};\n")),
    C("LocalHidesParameter", U("class A {\n  void f(int a) {\n    int a;\n  }\n};\n"),
      "u.gs(3) : Variable a already declared in this scope, line 3.",
      U("class A {\n  void f(int a) {\n    { int a; }\n  }\n};\n")),
    C("MemberTwice", U("class A {\n  int x;\n  string x;\n};\n"),
      "u.gs(3) : Variable x already declared in this scope, line 3.",
      U("class A {\n  int x;\n  string y;\n  void f() { int x; }\n};\n")),
    C("MemberClassMissing", U("class A {\n  Nope n;\n};\n"),
      "u.gs(2) : object<Nope> not declared, line 2.", U("class A {\n  A n;\n};\n")),
    C("LocalClassMissing", U("class A {\n  void f() {\n\n    Nope n;\n  }\n};\n"),
      "u.gs(4) : object<Nope> not declared, line 4.",
      U("class A {\n  void f() {\n\n    A n;\n  }\n};\n")),
    C("MemberSpecifiers", U("class A {\n  static int x;\n};\n"),
      "u.gs(2) : member declaration has invalid specifiers, line 2.",
      U("class A {\n  public int x;\n};\n")),
    C("DefineWithoutValue", U("class A {\n  define int x;\n};\n"),
      "u.gs(2) : define variable must have a const assignment, line 2.",
      U("class A {\n  define int x = 4;\n};\n")),
    C("DefineOfAVariable", U("class A {\n  int y;\n  define int x = y;\n};\n"),
      "u.gs(3) : define variable must have a const assignment, line 3.",
      U("class A {\n  int y;\n  define int x = -2 * (3 << 2) + 1;\n};\n")),
    C("MemberInitialiserType", U("class A {\n  int x = \"text\";\n};\n"),
      "u.gs(2) : cannot cast from string to int, line 2.",
      U("class A {\n  int x = 2.5;\n  string s = 1;\n};\n")),
    C("LocalInitialiserType", U("class A {\n  void f() {\n    object o = 5;\n  }\n};\n"),
      "u.gs(3) : cannot cast from int to object, line 3.",
      U("class A {\n  void f() {\n    object o = null;\n  }\n};\n")),
    // Statements.
    C("IfOnVoid", Fn("    if (f()) ; ;\n"), M(3, "invalid if expression, line 3."),
      Fn("    if (\"text\" and me) ;\n")),
    C("WhileOnVoid", Fn("    while (f()) ;\n"), M(3, "invalid while expression, line 3."),
      Fn("    while (me) ;\n")),
    C("ForOnVoid", Fn("    for (;f();) ;\n"), M(3, "invalid for expression, line 3."),
      Fn("    for (;;) break;\n")),
    C("SwitchCaseNested", Fn("    switch (1) { { case 1: ; } default: ; }\n"),
      M(3, "switch statement without case, line 3."),
      Fn("    switch (1) { case 1: { } default: ; }\n")),
    C("SwitchNoDefault", Fn("    switch (1) { case 1: break; }\n"),
      M(3, "switch statement without default, line 3."),
      Fn("    switch (1) { case 1: break; default: break; }\n")),
    C("SwitchOnFloat", Fn("    switch (1.5) { case 1: default: ; }\n"),
      M(3, "switch expression not integral, line 3."),
      Fn("    switch ((int)1.5) { case 1: default: ; }\n")),
    C("CaseOutside", Fn("    case 1: ;\n"), M(3, "illegal case, line 3."), Fn("    ;\n")),
    C("CaseNotConstant", Fn("    int i;\n    switch (1) { case i: default: ; }\n"),
      M(4, "case expression not constant or integral, line 4."),
      Fn("    int i;\n    switch (i) { case 1 << 2: default: ; }\n")),
    C("DefaultOutside", Fn("    default: ;\n"), M(3, "illegal default, line 3."), Fn("    ;\n")),
    C("DefaultTwice", Fn("    switch (1) { case 1: default: ;\n    default: ; }\n"),
      M(4, "switch already has default, line 4."),
      Fn("    switch (1) { case 1: default: ;\n    if (1) break; }\n")),
    C("BreakOutside", Fn("    if (1) break;\n"), M(3, "illegal break, line 3."),
      Fn("    wait () { on \"a\", \"b\": break; }\n")),
    C("ContinueInSwitch", Fn("    switch (1) { case 1: continue; default: ; }\n"),
      M(3, "illegal continue, line 3."),
      Fn("    while (1) switch (1) { case 1: continue; default: ; }\n")),
    C("ReturnIntFromFloat", Fn("    return 1;\n", "", "float"),
      M(3, "return type mismatch, expecting float, line 3."), Fn("    return 1.0;\n", "", "float")),
    C("ReturnNullFromString", Fn("    return null;\n", "", "string"),
      M(3, "return type mismatch, expecting string, line 3."),
      Fn("    return \"\";\n", "", "string")),
    C("ReturnDerivedForBase", Fn("    return me;\n", "class B { };", "B"),
      M(4, "return type mismatch, expecting B, line 4."),
      Fn("    return null;\n", "class B { };", "B")),
    C("MissingReturn", Fn("    if (1) return 1; else return 2;\n", "", "int"),
      M(4, "expecting return type of int, line 4."),
      Fn("    if (1) return 1;\n    return 2;\n", "", "int")),
    C("WaitWithoutOn", Fn("    wait () { }\n"),
      M(3, "wait statement must have at least 1 on statement, line 3."),
      Fn("    wait () { on \"a\", \"b\": ; }\n")),
    C("OnNotText", Fn("    wait () { on \"a\", 5: ; }\n"),
      M(3, "on statement requires string constant for major and minor message types, line 3"),
      Fn("    on \"a\", \"5\": ;\n")),
    C("OnIntoInt", Fn("    int m;\n    wait () { on \"a\", \"b\", m: ; }\n"),
      M(4, "on statement requires object type for third parameter, line 4"),
      Fn("    object m;\n    wait () { on \"a\", \"b\", m: ; }\n")),
    // Names and operators.
    C("Undeclared", Fn("    int i = j;\n"), M(3, "variable j not declared, line 3."),
      Fn("    int j, i = j;\n")),
    C("ClassNotStatic", Fn("    object o = B;\n", "class B { };"),
      M(4, "class B is not static, line 4."), Fn("    object o = B;\n", "static class B { };")),
    C("UnaryType", Fn("    int i = ~1.5;\n"), M(3, "illegal types for unary operand ~, line 3"),
      Fn("    int i = ~15;\n")),
    C("IncrementConstant", Fn("    int i = 2++;\n"),
      M(3, "expression not an l-value for ++ operator, line 3"), Fn("    int j, i = j++;\n")),
    C("BinaryType", Fn("    int i = 1 + true;\n"), M(3, "illegal types for operand +, line 3"),
      Fn("    string s = 1 + \"true\";\n")),
    C("MemberOfInt", Fn("    int i;\n    i.x = 1;\n"),
      M(4, ". operator cannot be used on a non-reference type, line 4."),
      U("class A {\n  int x;\n  void f() {\n    A a;\n    a.x = 1;\n  }\n};\n")),
    C("MemberOfString", Fn("    string s;\n    s.x = 1;\n"),
      M(4, "unknown object class for '.' operator, line 4."), Fn("    string s;\n    s[0] = 1;\n")),
    C("MemberNotPublic", Fn("    B b;\n    b.x = 1;\n", "class B { int x; };"),
      M(5, "member x not public in object B, line 5."),
      Fn("    B b;\n    b.x = 1;\n", "class B { public int x; };")),
    C("MemberThroughClass", Fn("    int i = B.x;\n", "static class B { public int x; };"),
      M(4, "x is not a static class or variable within this class, line 4."),
      Fn("    int i = B.x;\n", "static class B { public define int x = 1; };")),
    C("MemberMissing", Fn("    B b;\n    b.y = 1;\n", "class B { public int x; };"),
      M(5, "member y does not exist in object B, line 5."),
      Fn("    B b;\n    b.x = 1;\n", "class B { public int x; };")),
    C("IndexInt", Fn("    int i;\n    i[0] = 1;\n"),
      M(4, "i not an array type for [] operator, line 4"), Fn("    int[] i;\n    i[0] = 1;\n")),
    C("IndexFloat", Fn("    int[] a;\n    a[1.5] = 1;\n"),
      M(4, "index not integral for [] operator, line 4"), Fn("    int[] a;\n    a[1] = 1;\n")),
    C("RangeOfMember", U("class A {\n  int x;\n  void f() {\n    int[] b = me.x[1,];\n  }\n};\n"),
      M(4, "x not an array type for [,] operator, line 4"),
      U("class A {\n  int[] x;\n  void f() {\n    int[] b = me.x[1,];\n  }\n};\n")),
    C("RangeLeftFloat", Fn("    string s = \"ab\"[0.5,];\n"),
      M(3, "left index not integral for [,] operator, line 3"), Fn("    string s = \"ab\"[0,];\n")),
    C("RangeRightFloat", Fn("    string s = \"ab\"[,0.5];\n"),
      M(3, "right index not integral for [,] operator, line 3"),
      Fn("    string s = \"ab\"[,1];\n")),
    C("SizeOfInt", Fn("    int i = (5).size();\n"),
      M(3, ".size operator requires an array type, line 3."), Fn("    int i = \"5\".size();\n")),
    C("IsClassOfInt", Fn("    bool b = (5).isclass(A);\n"),
      M(3, ".isclass operator requires an object type, line 3."),
      Fn("    bool b = me.isclass(A);\n")),
    C("IsClassUnknown", Fn("    bool b = me.isclass(Nope);\n"),
      M(3, "class Nope not declared for .isclass operator, line 3."),
      Fn("    bool b = me.isclass(A);\n")),
    C("CopyToInt", Fn("    int[] a;\n    (5).copy(a);\n"),
      M(4, ".copy operator requires an array type, line 4."), Fn("    int[] a;\n    a.copy(a);\n")),
    C("CopyFromInt", Fn("    int[] a;\n    a.copy(5);\n"),
      M(4, ".copy expression must be an array type, line 4."),
      Fn("    int[] a;\n    a.copy(a);\n")),
    C("CopyMismatch", Fn("    int[] a;\n    float[] b;\n    a.copy(b);\n"),
      M(5, "left and right types incompatible for .copy operator, line 5."),
      Fn("    int[] a;\n    int[] b;\n    a.copy(b);\n")),
    C("CastStringToInt", Fn("    int i = (int)\"1\";\n"),
      M(3, "cannot cast from string to int, line 3."), Fn("    int i = (int)1.5;\n")),
    C("CastUnrelatedClasses", Fn("    B b = cast<B>me;\n", "class B { };"),
      M(4, "cannot cast from A to B, line 4."), Fn("    object o = cast<A>me;\n", "class B { };")),
    C("AssignToConstant", Fn("    1 = 2;\n"), M(3, "illegal l-value for assignment, line 3."),
      Fn("    int i;\n    i = 2;\n")),
    C("AssignUnrelatedClass", Fn("    B b = me;\n", "class B { };"),
      M(4, "cannot cast from object<A> to object<B>, line 4."),
      Fn("    B b = null;\n", "class B { };")),
    {"AssignFromUndefinedClass",
     {{"u.gs", "include \"b.gs\"\nclass A {\n  void f(B b) {\n    B c = b.n;\n  }\n};\n"},
      {"b.gs", "class B { public Nope n; };\n"}},
     {"u.gs(4) : class Nope not defined, line 4."},
     {{"u.gs", "include \"b.gs\"\nclass A {\n  void f(B b) {\n    B c = b;\n  }\n};\n"},
      {"b.gs", "class B { public Nope n; };\n"}}},
    // New.
    C("NewInt", Fn("    int i = new int();\n"), M(3, "cannot new type int, line 3."),
      Fn("    int[] i = new int[1];\n")),
    C("NewObject", Fn("    object o = new object();\n"), M(3, "cannot new unnamed object, line 3."),
      Fn("    object o = new A();\n")),
    C("NewArrayFloatSize", Fn("    int[] a = new int[1.5];\n"),
      M(3, "non-integral expression for new[], line 3."), Fn("    int[] a = new int[2];\n")),
    C("NewWithArguments", Fn("    A a = new A(1);\n"),
      M(3, "constructors not yet supported, line 3."), Fn("    A a = new A();\n")),
    C("NewUnknown", Fn("    object a = new Nope();\n"),
      M(3, "cannot find class Nope in this translation unit, line 3."),
      Fn("    object a = new A();\n")),
    C("NewGameClass", Fn("    object o = new B();\n", "game class B { };"),
      M(4, "cannot new static or game class, line 4."),
      Fn("    object o = new B();\n", "final class B { };")),
    // Calls.
    C("InheritedThroughMember", Fn("    me.inherited();\n"),
      M(3, "'inherited' can only be used on current function, line 3."), Fn("    inherited();\n")),
    C("InheritedOutsideFunction", U("class A {\n  int x = inherited();\n};\n"),
      M(2, "internal compiler error while parsing 'inherited', line 2."),
      U("class A {\n  int x = 1;\n};\n")),
    C("InheritedInThread", U("class A {\n  thread void f() {\n    inherited();\n  }\n};\n"),
      M(3, "'inherited' can not be used on native or thread function, line 3."),
      U("class A {\n  void f() {\n    inherited();\n  }\n};\n")),
    C("InheritedWrongArgument", U("class A {\n  void f(int a) {\n    inherited(\"a\");\n  }\n};\n"),
      M(3, "Error in expression, line 3."),
      U("class A {\n  void f(int a) {\n    inherited(1.5);\n  }\n};\n")),
    C("MemberFunctionMissing", Fn("    B b;\n    b.g();\n", "class B { public void h() { } };"),
      M(5, "function g not declared in class B or derivative, line 5."),
      Fn("    B b;\n    b.h();\n", "class B { public void h() { } };")),
    C("FunctionMissing", Fn("    g(1);\n"), M(3, "function g not declared, line 3."),
      Fn("    f();\n")),
    // An override is no second candidate: the twin calls what C overrides of B.
    C("AmbiguousBases",
      U("class B { void g(int a) { } };\nclass C { void g(int b) { } };\n"
        "class D isclass B, C {\n  void f() {\n    g(1);\n  }\n};\n"),
      M(5, "function call g is ambiguous, line 5."),
      U("class B { void g(int a) { } };\nclass C isclass B { void g(int b) { } };\n"
        "class D isclass C {\n  void f() {\n    g(1);\n  }\n};\n")),
    C("NotPublic", Fn("    B b;\n    b.h();\n", "class B { void h() { } };"),
      M(5, "function h not public in object B, line 5."),
      Fn("    B b;\n    b.h();\n", "class B { public void h() { } };")),
    // The walk.
    // Only hostile depths are refused: the twin, about as deep as the walk allows, also shows
    // that code generation takes such a tree.
    C("NestedTooDeep", U(Sum(60000)), "Stack overflow; code nested too deep.", U(Sum(49000))),
    // Code generation.
    {"NotImplemented",
     U("class A {\n  int f(int a);\n};\n"),
     {"Function A::f(int) not implemented"},
     U("class A {\n  int f(int a);\n  int f(int b) { return b; }\n};\n"),
     1,
     kGenerationFailed},
    {"NativeWithBody",
     U("class A {\n  native int f() { return 1; }\n};\n"),
     {"Native function A::f() has been implemented"},
     U("class A {\n  native int f();\n};\n"),
     1,
     kGenerationFailed},
    {"OverrideReturnType",
     U("class A {\n  void f() { }\n};\nclass B isclass A {\n  int f() { return 1; }\n};\n"),
     {"Wrong return type on function: $int@B::f()"},
     U("class A {\n  void f() { }\n};\nclass B isclass A {\n  int f(int a) { return 1; }\n};\n"),
     1,
     kGenerationFailed},
    {"DuplicateCase",
     Fn("    switch (1) { case 2: ;\n    case 2: ; default: ; }\n"),
     {M(4, "case has duplicate value, line 4")},
     Fn("    switch (1) { case 2: ;\n    case 1 + 2: ; default: ; }\n"),
     1,
     kGenerationFailed},
    {"NoSuchLabel",
     Fn("    goto there;\n  here: ;\n"),
     {M(3, "no matching label, line 3")},
     Fn("    goto here;\n  here: ;\n"),
     1,
     kGenerationFailed},
};

class MessageCorpusTest : public gs_test::DeclareFixture,
                          public ::testing::WithParamInterface<Case> {};

TEST_P(MessageCorpusTest, ReportsTheOneErrorAndTheTwinCompiles) {
  const Case& c = GetParam();
  EXPECT_EQ(Compile(c.files), c.errors);
  std::vector<std::string> expected = c.messages;
  expected.push_back(c.tail);
  EXPECT_EQ(messages_, expected);
  EXPECT_EQ(state_->symbols.Level(), 0) << "every level that opened has closed";

  EXPECT_EQ(Compile(c.twin), 0) << ::testing::PrintToString(messages_);
  EXPECT_TRUE(messages_.empty()) << ::testing::PrintToString(messages_);
  EXPECT_FALSE(library_.classes.empty());
}

INSTANTIATE_TEST_SUITE_P(OneError, MessageCorpusTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
