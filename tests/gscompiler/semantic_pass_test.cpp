#include "gscompiler/semantic_pass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "gscompiler/declare_fixture.h"
#include "gscompiler/parse_node.h"

namespace {

using namespace GSCompiler;
using namespace GSTypes;

// The slot of every declared name (declarators and parameters) of the tree, by name; a name
// declared twice keeps its slots in declaration order.
void CollectSlots(const ParseNode* node, std::map<std::string, std::vector<i32>>& slots) {
  for (; node != nullptr; node = node->next) {
    if (node->group == kGroupDeclaration &&
        (node->kind == kDeclDeclarator || node->kind == kDeclParameter)) {
      const ParseNode* name = node->kind == kDeclDeclarator ? node->child[0] : node->child[1];
      slots[name->text].push_back(name->slot);
    }
    for (const ParseNode* child : node->child) CollectSlots(child, slots);
  }
}

class SemanticPassTest : public gs_test::DeclareFixture {
 protected:
  // "name:slot" for every declared name, in name order.
  std::string Slots() const {
    std::map<std::string, std::vector<i32>> slots;
    CollectSlots(state_->rootUnit.topLevel, slots);
    std::string text;
    for (const auto& [name, list] : slots) text += name + ":" + ::testing::PrintToString(list);
    return text;
  }
  GSVariableSymbol* Variable(const char* cls, const char* name) const {
    return static_cast<GSVariableSymbol*>(Member(cls, name));
  }
};

TEST_F(SemanticPassTest, SlotsNumberMeParametersThenLocalsAndMembersAfterTheHeader) {
  ASSERT_EQ(Declare("class P { int p0, p1; };\n"
                    "class A isclass P {\n"
                    "  int m0; string m1;\n"
                    "  int f(int a, float b) {\n"
                    "    int l3;\n"
                    "    { int l4; { int l5; } }\n"
                    "    { int l6; }\n"
                    "    return 0;\n"
                    "  }\n"
                    "  void g() { int first; }\n"
                    "};\n"),
            0)
      << ::testing::PrintToString(messages_);
  EXPECT_EQ(
      Slots(),
      "a:{ 1 }b:{ 2 }first:{ 1 }l3:{ 3 }l4:{ 4 }l5:{ 5 }l6:{ 6 }m0:{ 6 }m1:{ 7 }p0:{ 2 }p1:{ 3 }");
  GSClassSymbol* a = Class("A");
  auto* f = static_cast<GSFunctionSymbol*>(a->FindMember("A::f(int,float)"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::tuple(f->parameterCountPlusOne, f->localCount, f->index), std::tuple(3, 4, 0));
  EXPECT_EQ(SignatureText(*f, true, "A"), "$int@A::f(int,float)");
  EXPECT_EQ(f->BaseName(), "f");
  EXPECT_EQ(a->FindMember("a"), nullptr) << "parameters and locals leave with their function";
}

TEST_F(SemanticPassTest, DefinesKeepTheirValueInTheirOwnType) {
  ASSERT_EQ(Declare("class A {\n"
                    "  define int I = -7 + 2 * 3;\n"
                    "  define float F = 1;\n"
                    "  define int T = 2.75;\n"
                    "  define bool B = 5;\n"
                    "  define string S = 5;\n"
                    "  define string N = \"name\";\n"
                    "  define int H = 0x10 >> 1 | 1;\n"
                    "};\n"),
            0)
      << ::testing::PrintToString(messages_);
  EXPECT_EQ(i32(Variable("A", "I")->defineValue), -1);
  float f;
  const u32 bits = Variable("A", "F")->defineValue;
  std::memcpy(&f, &bits, sizeof f);
  EXPECT_EQ(f, 1.0f);
  EXPECT_EQ(std::tuple(Variable("A", "T")->defineValue, Variable("A", "B")->defineValue,
                       Variable("A", "H")->defineValue),
            std::tuple(2u, 1u, 9u));
  EXPECT_STREQ(Variable("A", "S")->defineText, "");
  EXPECT_STREQ(Variable("A", "N")->defineText, "name");
}

u32 FloatBits(float f) {
  u32 bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

TEST_F(SemanticPassTest, ConstantOperandsFoldAndFaultingOnesStay) {
  struct Fold {
    const char* type;
    const char* expression;
    bool folds;
    u32 bits;
  };
  const Fold folds[] = {
      {"int", "-8 >> 1", true, u32(-4)},  // keeps the sign
      {"int", "1 << 33", true, 2},        // count modulo 32
      {"int", "0x7fffffff + 1", true, 0x80000000u},
      {"int", "7 % -2", true, 1},
      {"int", "~5 ^ 3 & 6", true, u32(~5 ^ (3 & 6))},
      {"float", "1 + 2.0", true, FloatBits(3.0f)},
      {"float", "5.0 % 3", true, FloatBits(2.0f)},
      {"float", "-(2.5)", true, FloatBits(-2.5f)},
      {"bool", "1 < 2.5", true, 1},
      {"bool", "true and 0", true, 0},
      {"bool", "0 or 2", true, 1},
      {"bool", "!0.0", true, 1},
      // The edges give what the instructions give at run time.
      {"int", "(-2147483647 - 1) - 1", true, 0x7fffffffu},
      {"int", "(-2147483647 - 1) * -1", true, 0x80000000u},
      {"int", "-(-2147483647 - 1)", true, 0x80000000u},
      {"int", "2147483647 * 2147483647", true, 1},
      {"int", "-7 / 2", true, u32(-3)},
      {"int", "-7 % 2", true, u32(-1)},
      {"int", "1 << 31", true, 0x80000000u},
      {"int", "1 << 32", true, 1},
      {"int", "1 << -1", true, 0x80000000u},
      {"int", "(-2147483647 - 1) >> 31", true, u32(-1)},
      {"int", "5 >> 32", true, 5},
      {"bool", "-2000000000 < 2000000000", true, 1},
      {"float", "1.0 / -0.0", true, FloatBits(-1.0f / 0.0f)},
      {"float", "-0.0", true, 0x80000000u},
      {"float", "-(-0.0)", true, 0},
      {"bool", "0.0 == -0.0", true, 1},
      {"int", "37500000000.0", true, 0x80000000u},  // out of the int range
      {"int", "7 / 0", false, 0},                   // the run time reports it
      {"int", "7 % 0", false, 0},
      {"int", "(-2147483647 - 1) / -1", false, 0},
      {"int", "(-2147483647 - 1) % -1", false, 0},
      {"float", "1.0 / 0", false, 0},
      {"float", "1.0 % 0.0", false, 0},
      {"bool", "\"a\" == \"a\"", false, 0},  // texts are not compared here
      {"string", "\"a\" + 1", false, 0},
  };
  for (const Fold& f : folds) {
    SCOPED_TRACE(f.expression);
    const i32 errors =
        Declare(std::string("class A {\n  define ") + f.type + " V = " + f.expression + ";\n};\n");
    if (!f.folds) {
      EXPECT_EQ(messages_, std::vector<std::string>{
                               "u.gs(2) : define variable must have a const assignment, line 2."});
      continue;
    }
    ASSERT_EQ(errors, 0) << ::testing::PrintToString(messages_);
    EXPECT_EQ(Variable("A", "V")->defineValue, f.bits);
  }
}

TEST_F(SemanticPassTest, PrototypesThreadsAndOverloads) {
  ASSERT_EQ(Declare("class A {\n"
                    "  int f(int a, int b);\n"
                    "  void f(float a) { }\n"
                    "  int f(int x, int y) { int z; return z; }\n"
                    "  thread void t() { }\n"
                    "};\n"),
            0)
      << ::testing::PrintToString(messages_);
  GSClassSymbol* a = Class("A");
  EXPECT_TRUE(a->flags & kSpecGame) << "a thread function makes its class a game class";
  auto* f = static_cast<GSFunctionSymbol*>(a->FindMember("A::f(int,int)"));
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->flags & kSymbolPrototype);
  EXPECT_EQ(f->index, 0) << "the prototype's index stays";
  EXPECT_EQ(f->localCount, 1);
  EXPECT_EQ(a->ownFunctionCount, 3);
  GSFunctionSymbol* found[4];
  EXPECT_EQ(a->CollectOverloads("f", 2, found, 4), 1u);
  EXPECT_EQ(a->CollectOverloads("f", 1, found, 4), 1u);
}

TEST_F(SemanticPassTest, IncludedUnitsAreDeclaredWithoutTheirBodiesChecked) {
  ASSERT_EQ(Declare({{"a.gs", "include \"b.gs\"\nclass A isclass B { };\n"},
                     {"b.gs",
                      "class B {\n  define int K = 3 * 3;\n  Nope n;\n"
                      "  void f() { int x; int x; }\n};\n"}}),
            0)
      << ::testing::PrintToString(messages_);
  EXPECT_EQ(Variable("B", "K")->defineValue, 9u);
  EXPECT_NE(Member("B", "n"), nullptr);
}

// Limits that once crashed, hung or lost symbols.
TEST_F(SemanticPassTest, DeepBlocksKeepTheirScopesBalanced) {
  // Past the deepest level blocks share it; each block must close only what it opened.
  std::string body;
  for (int i = 0; i < 80; ++i) body += "{ int x" + std::to_string(i) + "; ";
  body += std::string(80, '}');
  ASSERT_EQ(Declare("class A {\n  void f(int p) {\n" + body + "\n  }\n};\n"), 0)
      << ::testing::PrintToString(messages_);
  EXPECT_EQ(state_->symbols.Level(), 0);

  // The parameter outlives the deep blocks: declaring it again after them is still refused.
  ASSERT_EQ(Declare("class A {\n  void f(int p) {\n" + body + "\n    int p;\n  }\n};\n"), 1);
  EXPECT_EQ(messages_, std::vector<std::string>{
                           "u.gs(4) : Variable p already declared in this scope, line 4."});
}

TEST_F(SemanticPassTest, LongNamesAndManyOverloads) {
  const std::string cls(5000, 'C');
  const std::string member(5000, 'm');
  const std::string parameter(5000, 'p');
  ASSERT_EQ(Declare("class " + cls + " {\n  int " + member + ";\n  " + cls + " " + member + "F(" +
                    cls + " " + parameter + ") { int " + parameter +
                    "2; return null; }\n"
                    "};\nclass D isclass " +
                    cls + " { };\n"),
            0)
      << messages_.size();
  EXPECT_NE(Class(cls.c_str()), nullptr);
  EXPECT_EQ(Class("D")->MemberSlot(Member(cls.c_str(), member.c_str()), Class("D")), 4);

  // 10,000 overloads of one name: four parameters, each of ten types.
  const char* const types[] = {"bool",   "int",   "float",   "string",   "object",
                               "bool[]", "int[]", "float[]", "string[]", "object[]"};
  std::string source = "class O {\n";
  for (int n = 0; n < 10000; ++n) {
    source += "  void f(";
    for (int k = 0, rest = n; k < 4; ++k, rest /= 10) {
      source += std::string(k ? ", " : "") + types[rest % 10] + " a" + std::to_string(k);
    }
    source += ") { }\n";
  }
  ASSERT_EQ(Declare(source + "};\n"), 0) << ::testing::PrintToString(messages_);
  EXPECT_EQ(Class("O")->ownFunctionCount, 10000);
  GSFunctionSymbol* found[1024];
  EXPECT_EQ(Class("O")->CollectOverloads("f", 4, found, 1024), 1024u);
}

}  // namespace

namespace {

// The first node of the tree (depth first, children before the next node) that matches.
template <typename Match>
ParseNode* FindNode(ParseNode* node, Match match) {
  for (; node != nullptr; node = node->next) {
    if (match(node)) return node;
    for (ParseNode* child : node->child) {
      if (ParseNode* found = FindNode(child, match)) return found;
    }
  }
  return nullptr;
}

}  // namespace

// What code generation reads: the winning overload and its casts, owners and chains, the
// appended return, slots, static class references and member calls.
TEST_F(SemanticPassTest, ChecksLeaveTheAnnotationsCodeGenerationReads) {
  ASSERT_EQ(Declare("static class S { public void p(string s) { } };\n"
                    "class A {\n"
                    "  int m;\n"
                    "  void g(int a) { }\n"
                    "  void g(float a) { }\n"
                    "  void h(float a, int b) { }\n"
                    "  void k(object o, A[] p) { }\n"
                    "  void f(int q) {\n"
                    "    object o; A[] p; k(o, p);\n"
                    "    g(1);\n"
                    "    h(q, 2.5);\n"
                    "    S.p(m);\n"
                    "    switch (q) { case 1: break; default: m = q; }\n"
                    "  }\n"
                    "};\n"),
            0)
      << ::testing::PrintToString(messages_);
  ParseNode* top = state_->rootUnit.topLevel;
  const auto call = [&](const char* name) {
    return FindNode(top, [&](const ParseNode* n) {
      const ParseNode* c = n->kind == kExprCall && n->group == kGroupExpression ? n->child[0] : 0;
      if (c != nullptr && c->kind == kExprOperator) c = c->child[1];
      return c != nullptr && std::strcmp(c->text, name) == 0;
    });
  };
  ParseNode* g = call("g");
  EXPECT_STREQ(static_cast<GSFunctionSymbol*>(g->symbol)->name, "A::g(int)");
  EXPECT_EQ(g->typeCode, kTypeVoid);
  EXPECT_EQ(g->slot, 0);

  // Both arguments of h are wrapped in casts to their parameters' types.
  ParseNode* h = call("h");
  for (const auto& [argument, type, inner] :
       {std::tuple{h->child[1], kTypeFloat, kTypeInt}, {h->child[1]->next, kTypeInt, kTypeFloat}}) {
    ASSERT_EQ(argument->code, kOpCast);
    EXPECT_EQ(argument->typeCode, type);
    EXPECT_EQ(argument->child[1]->typeCode, type);
    EXPECT_EQ(argument->child[0]->typeCode, inner);
  }
  EXPECT_EQ(h->child[1]->child[0]->slot, 1) << "the parameter q";

  ParseNode* k = call("k");
  EXPECT_NE(k->child[1]->code, kOpCast) << "object takes an object without a cast";
  EXPECT_NE(k->child[1]->next->code, kOpCast);

  ParseNode* p = call("p");
  EXPECT_TRUE(p->flags & kFlagMemberCall);
  EXPECT_TRUE(p->child[0]->child[0]->flags & kFlagStaticClass);
  EXPECT_EQ(p->child[1]->child[0]->slot, 2) << "m, after the two header words";

  ParseNode* sw = FindNode(top, [](const ParseNode* n) {
    return n->group == kGroupStatement && n->kind == kStmtSwitch;
  });
  ASSERT_NE(sw->chain, nullptr);
  EXPECT_EQ(sw->chain->kind, kStmtCase);
  EXPECT_EQ(sw->chain->chain->kind, kStmtDefault);
  EXPECT_EQ(sw->chain->next->owner, sw) << "the break";
  EXPECT_EQ(sw->next->kind, kStmtReturn) << "appended to the void function";
  EXPECT_TRUE(sw->flags & kFlagHasDefault);
}
