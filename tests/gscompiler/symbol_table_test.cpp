#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gscompiler/compile_log.h"
#include "gscompiler/declare_fixture.h"
#include "gscompiler/gs_symbol_table.h"

namespace {

using namespace GSCompiler;
using namespace GSTypes;

std::vector<std::string> Drain(GSCompileLog& log) {
  std::vector<std::string> out;
  while (const char* m = log.Take()) out.push_back(m);
  return out;
}

class SymbolTableTest : public ::testing::Test {
 protected:
  GSClassSymbol* AddClass(const char* name) {
    GSClassSymbol* cls = table_.NewClassSymbol(name);
    EXPECT_TRUE(table_.AddSymbol(nullptr, cls));
    return cls;
  }
  GSVariableSymbol* AddVariable(GSClassSymbol* cls, const char* name, i32 type = kTypeInt) {
    GSVariableSymbol* v = table_.NewVariableSymbol(name);
    v->typeCode = type;
    if (!table_.AddSymbol(cls, v)) {
      table_.Discard(v);
      return nullptr;
    }
    return v;
  }
  GSFunctionSymbol* AddFunction(GSClassSymbol* cls, const char* decorated, i32 parameters) {
    GSFunctionSymbol* f = table_.NewFunctionSymbol(decorated);
    f->parameterCountPlusOne = parameters + 1;
    EXPECT_TRUE(table_.AddSymbol(cls, f));
    return f;
  }

  GSSymbolTable table_;
};

TEST_F(SymbolTableTest, InnermostDeclarationWinsAndClosingALevelDropsIt) {
  GSClassSymbol* cls = AddClass("C");
  GSVariableSymbol* member = AddVariable(cls, "x");
  ASSERT_TRUE(table_.OpenLevel());
  GSVariableSymbol* outer = AddVariable(cls, "x", kTypeFloat);
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(AddVariable(cls, "x"), nullptr) << "same name at the same level";
  ASSERT_TRUE(table_.OpenLevel());
  GSVariableSymbol* inner = AddVariable(cls, "x", kTypeString);
  EXPECT_EQ(table_.Lookup("x", cls), inner);
  EXPECT_TRUE(inner->flags & kSymbolDeeperLevel);
  EXPECT_EQ(inner->index, -1) << "locals get their index from the pass";
  EXPECT_EQ(table_.Lookup("x", cls, kLookupClassLevelOnly), member);

  table_.CloseLevel();
  EXPECT_EQ(table_.Lookup("x", cls), outer);
  table_.CloseLevel();
  EXPECT_EQ(table_.Lookup("x", cls), member);
  EXPECT_EQ(member->index, 0);
  EXPECT_EQ(table_.Level(), 0);
  table_.CloseLevel();  // level 0 stays
  EXPECT_EQ(table_.Lookup("C"), cls);
}

TEST_F(SymbolTableTest, LevelsStopAtTheDeepestAndLibrariesIgnoreCase) {
  i32 opened = 0;
  while (table_.OpenLevel()) ++opened;
  EXPECT_EQ(opened, GSSymbolTable::kMaxScopeLevel);
  while (table_.Level() > 0) table_.CloseLevel();

  GSDependentSymbol* lib = table_.NewDependentSymbol("lib.gs");
  ASSERT_TRUE(table_.AddSymbol(nullptr, lib));
  EXPECT_EQ(table_.FindLibrary("LIB.GS"), lib);
  EXPECT_EQ(table_.FindLibrary("other.gs"), nullptr);
  GSDependentSymbol* again = table_.NewDependentSymbol("Lib.Gs");
  EXPECT_FALSE(table_.AddSymbol(nullptr, again));
  table_.Discard(again);
  EXPECT_EQ(table_.LookupClass("lib.gs"), nullptr) << "a library is not a class";
}

TEST_F(SymbolTableTest, ReferencesAreNumberedOnFirstLookupAndAfterAReset) {
  GSClassSymbol* a = AddClass("A");
  GSClassSymbol* b = AddClass("B");
  GSFunctionSymbol* f = AddFunction(b, "B::f()", 0);
  EXPECT_EQ(a->referenceNumber, -1);
  EXPECT_EQ(table_.Lookup("A"), a);
  EXPECT_EQ(table_.Lookup("f", b), nullptr);
  EXPECT_EQ(table_.Lookup("B::f()", b), f);
  EXPECT_EQ(a->referenceNumber, 0);
  EXPECT_EQ(f->referenceNumber, 0);
  EXPECT_EQ(b->referenceNumber, 1) << "the function's class is numbered with it";
  table_.Lookup("A");
  EXPECT_EQ(table_.classReferenceCounter, 2);

  table_.ResetReferenceNumbers();
  EXPECT_EQ(a->referenceNumber, -1);
  EXPECT_EQ(f->referenceNumber, -1);
  table_.Lookup("B::f()", b);
  EXPECT_EQ(f->referenceNumber, 0);
  EXPECT_EQ(b->referenceNumber, 0);
}

TEST_F(SymbolTableTest, AncestorsLayOutMembersAndFunctions) {
  GSClassSymbol* a = AddClass("A");
  AddVariable(a, "a1");
  GSVariableSymbol* a2 = AddVariable(a, "a2");
  GSFunctionSymbol* af = AddFunction(a, "A::f(int)", 1);
  GSClassSymbol* b = AddClass("B");
  GSVariableSymbol* b1 = AddVariable(b, "b1");
  AddFunction(b, "B::f(int)", 1);
  AddFunction(b, "B::f()", 0);
  GSClassSymbol* c = AddClass("C");
  c->AddPendingParent("A", 3);
  c->AddPendingParent("B", 3);
  ASSERT_TRUE(c->ResolveParents());
  GSVariableSymbol* c1 = AddVariable(c, "c1");

  ASSERT_EQ(c->Ancestors().size(), 2u);
  EXPECT_EQ(c->FindAncestor("A")->memberOffset, 2);
  EXPECT_EQ(c->FindAncestor("B")->memberOffset, 6);
  EXPECT_EQ(c->FindAncestor("B")->functionOffset, 1);
  EXPECT_EQ(c->inheritedMemberCount, 9);
  EXPECT_EQ(c->inheritedFunctionCount, 3);
  EXPECT_EQ(a->MemberSlot(a2, a), 3);
  EXPECT_EQ(c->MemberSlot(a2, c), 5);
  EXPECT_EQ(c->MemberSlot(b1, c), 8);
  EXPECT_EQ(c->MemberSlot(c1, c), 9);
  EXPECT_EQ(c->MemberSlot(af, c), 0);
  EXPECT_TRUE(c->IsOrDerivesFrom(b));
  EXPECT_FALSE(a->IsOrDerivesFrom(c));
  EXPECT_EQ(af->referenceNumber, 0) << "adding a parent numbers its functions";

  GSFunctionSymbol* found[4] = {};
  EXPECT_EQ(c->CollectOverloads("f", 1, found, 4), 2u);
  EXPECT_EQ(found[0], af);
  EXPECT_EQ(c->CollectOverloads("f", 1, found, 1), 1u);
  EXPECT_EQ(c->CollectOverloads("f", 0, found, 4), 1u);
  EXPECT_EQ(c->CollectOverloads("g", 1, found, 4), 0u);
}

TEST_F(SymbolTableTest, DumpsNameTypesSpecifiersAndAncestors) {
  GSDependentSymbol* lib = table_.NewDependentSymbol("lib.gs");
  lib->sourceId = 0xAB;
  lib->nameId = 0x1F;
  ASSERT_TRUE(table_.AddSymbol(nullptr, lib));
  table_.currentLibrary = lib;
  GSClassSymbol* base = AddClass("Base");
  GSClassSymbol* cls = AddClass("Derived");
  cls->flags = kSpecFinal | kSpecGame;
  cls->AddPendingParent("Base", 1);
  ASSERT_TRUE(cls->ResolveParents());
  GSVariableSymbol* v = AddVariable(cls, "v", kTypeObject);
  v->className = "Base";
  v->flags = kSpecPublic | kSpecDefine | kSpecSecured;
  GSCompileLog log;
  cls->Dump(log);
  base->Dump(log);
  lib->Dump(log);
  EXPECT_EQ(Drain(log), (std::vector<std::string>{
                            std::string(40, '='), "0:Derived final game  (lib.gs)::2:Base,",
                            std::string(40, '='), "0:0:object<Base> public secured define  v",
                            std::string(40, '='), "0:Base  (lib.gs)::", std::string(40, '='),
                            "\nDependent \"lib.gs\", crc 0xAB, filename crc 0x1F\n"}));
}

TEST_F(SymbolTableTest, GlobalsWalkInTheOrderOfASixtyOneBucketTable) {
  // Whatever table holds them, walks see the globals as a 61-bucket table orders them.
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("K" + std::to_string(i * 7919 % 1000));
  std::vector<std::unique_ptr<GSSymbol>> keys;
  Utils::HashNodeTable reference(61);
  for (const std::string& name : names) {
    keys.push_back(std::make_unique<GSSymbol>(kSymbolClass, name.c_str()));
    ASSERT_TRUE(reference.Insert(keys.back().get()));
  }
  for (auto it = names.rbegin(); it != names.rend(); ++it) AddClass(it->c_str());
  std::vector<std::string> want;
  for (Utils::IHashNode* n = reference.First(); n != nullptr; n = reference.Next(n)) {
    want.push_back(static_cast<GSSymbol*>(n)->name);
  }
  std::vector<std::string> got;
  for (const GSSymbol* symbol : table_.GlobalsInTableOrder()) got.push_back(symbol->name);
  EXPECT_EQ(got, want);
  reference.Release();
}

// Derivation through the driver; its messages are in the declaration corpus.
class DerivationTest : public gs_test::DeclareFixture {};

TEST_F(DerivationTest, LongChainsResolveAndFindTheNearestMember) {
  // Each class derives from the one before; a search that went through every ancestor's own
  // ancestors again would not end in the lifetime of the test.
  std::string source = "class C0 { int shared; int deep; };\n";
  for (int i = 1; i < 40; ++i) {
    source += "class C" + std::to_string(i) + " isclass C" + std::to_string(i - 1) + " { ";
    if (i == 30) source += "int shared; ";
    source += "};\n";
  }
  ASSERT_EQ(Declare(source), 0) << ::testing::PrintToString(messages_);
  GSClassSymbol* last = Class("C39");
  ASSERT_EQ(last->Ancestors().size(), 39u);
  EXPECT_EQ(last->FindInHierarchy("shared", false)->owner, Class("C30"));
  EXPECT_EQ(last->FindInHierarchy("deep", false)->owner, Class("C0"));
  EXPECT_EQ(last->FindInHierarchy("C5", true), Class("C5"));
  EXPECT_EQ(last->FindInHierarchy("none", true), nullptr);
  EXPECT_EQ(last->inheritedMemberCount, 2 * 40 + 2 + 1);
}

TEST_F(DerivationTest, IncludedClassesResolveWhenTheRootDerivesFromThem) {
  ASSERT_EQ(
      Declare({{"a.gs", "include \"B.gs\"\nclass A isclass B { int a; };\n"},
               {"b.gs",
                "class Base { int x; int y; };\nclass B isclass Base { int b; string Base; };\n"}}),
      0)
      << ::testing::PrintToString(messages_);
  GSClassSymbol* a = Class("A");
  ASSERT_EQ(a->Ancestors().size(), 2u);
  EXPECT_EQ(a->MemberSlot(Member("Base", "y"), a), 2 + 2 + 2 + 1);
  EXPECT_EQ(a->MemberSlot(Member("B", "b"), a), 6 + 2);
  EXPECT_STREQ(Class("B")->library->name, "b.gs");
  EXPECT_EQ(state_->symbols.FindLibrary("b.gs")->index, 1);
  EXPECT_EQ(state_->symbols.FindLibrary("a.gs")->index, 0);
}

}  // namespace
