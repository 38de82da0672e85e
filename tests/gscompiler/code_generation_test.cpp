// The code that generation produces for a set of hand-checked functions, as the disassembler
// lists it, and the method tables that virtual calls index.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "gscompiler/declare_fixture.h"

namespace {

const char kSource[] =
    "class Base {\n"
    "  public int Area() { return 0; }\n"
    "};\n"
    "class Box isclass Base {\n"
    "  int w = 5;\n"
    "  public int Area() { return w * w; }\n"
    "  int IfElse(int a) {\n"
    "    int r;\n"
    "    if (a > 0) r = 1;\n"
    "    else r = 2;\n"
    "    return r;\n"
    "  }\n"
    "  int Loop(int n) {\n"
    "    int i, t;\n"
    "    for (i = 0; i < n; ++i) {\n"
    "      if (i == 2) continue;\n"
    "      if (t > 9) break;\n"
    "      t = t + i;\n"
    "    }\n"
    "    return t;\n"
    "  }\n"
    "  int Pick(int v) {\n"
    "    int r;\n"
    "    switch (v) { case 5: r = 50; break; case 1: r = 10; case 3: r = 30; break; default: r = "
    "0; }\n"
    "    return r;\n"
    "  }\n"
    "  string Join(string s) { string n; return s + n; }\n"
    "  Box Make(int n) { int[] a = new int[n]; return new Box(); }\n"
    "  int Virtual(Base b) { return b.Area(); }\n"
    "};\n"
    "game class Ear {\n"
    "  Box[] boxes;\n"
    "  thread void Listen() {\n"
    "    wait () {\n"
    "      on \"A\", \"a\": ;\n"
    "      on \"B\", \"b\", boxes[1]: ;\n"
    "      on \"C\", \"c\": ;\n"
    "    }\n"
    "  }\n"
    "};\n"
    "class Edge {\n"
    "  void Refs(int a, string s, object o) { string t; }\n"
    "  void Chain() { int i, j; i = j = 3; }\n"
    "  bool AndInts(int a, int b) { return a and b; }\n"
    "  public void Two(int a, int b) { }\n"
    "  void Member(Edge e) { e.Two(1, 2); }\n"
    "  string Tail(string s) { string t = s; return s[2, ]; }\n"
    "};\n"
    "class P { void p() { } };\n"
    "class Q { void q() { } };\n"
    "class R isclass P, Q { void q() { } };\n";

struct Expected {
  const char* signature;
  const char* listing;
};

const Expected kListings[] = {
    {"$int@Box::IfElse(int)",
     "flags 0x00, slot 2, arguments 2, locals 1, frame 7\n"
     "     0  LOAD 1\n"
     "     3  PUSHC 0\n"
     "     8  CMP\n"
     "     9  GT\n"
     "    10  JZ 28\n"
     "    15  PUSHC 1\n"
     "    20  STORE 2\n"
     "    23  JMP 36\n"
     "    28> PUSHC 2\n"
     "    33  STORE 2\n"
     "    36> LOAD 2\n"
     "    39  RETV\n"},
    {"$int@Box::Loop(int)",
     "flags 0x00, slot 3, arguments 2, locals 2, frame 8\n"
     "     0  PUSHC 0\n"
     "     5  STORE 2\n"
     "     8> LOAD 2\n"
     "    11  LOAD 1\n"
     "    14  CMP\n"
     "    15  LT\n"
     "    16  JZ 83\n"
     "    21  LOAD 2\n"
     "    24  PUSHC 2\n"
     "    29  CMP\n"
     "    30  EQ\n"
     "    31  JZ 41\n"
     "    36  JMP 71\n"
     "    41> LOAD 3\n"
     "    44  PUSHC 9\n"
     "    49  CMP\n"
     "    50  GT\n"
     "    51  JZ 61\n"
     "    56  JMP 83\n"
     "    61> LOAD 3\n"
     "    64  LOAD 2\n"
     "    67  ADD\n"
     "    68  STORE 3\n"
     "    71> LOAD 2\n"
     "    74  INC\n"
     "    75  STORE 2\n"
     "    78  JMP 8\n"
     "    83> LOAD 3\n"
     "    86  RETV\n"},
    {"$int@Box::Pick(int)",
     "flags 0x00, slot 4, arguments 2, locals 1, frame 6\n"
     "     0  LOAD 1\n"
     "     3  SWITCH 3 {1:47 3:55 5:34} 68\n"
     "    34> PUSHC 50\n"
     "    39  STORE 2\n"
     "    42  JMP 76\n"
     "    47> PUSHC 10\n"
     "    52  STORE 2\n"
     "    55> PUSHC 30\n"
     "    60  STORE 2\n"
     "    63  JMP 76\n"
     "    68> PUSHC 0\n"
     "    73  STORE 2\n"
     "    76> LOAD 2\n"
     "    79  RETV\n"},
    {"$string@Box::Join(string)",
     "flags 0x00, slot 5, arguments 2, locals 1, frame 7\n"
     "reference slots: 1 2\n"
     "     0  LOADR 1\n"
     "     3  LOADR 2\n"
     "     6  SCAT\n"
     "     7  RETVR\n"},
    {"$Box@Box::Make(int)",
     "flags 0x00, slot 6, arguments 2, locals 1, frame 6\n"
     "reference slots: 2\n"
     "     0  LOAD 1\n"
     "     3  NEWA\n"
     "     4  STORER 2\n"
     "     7  NEW 1\n"
     "    10  RETVR\n"},
    {"$int@Box::Virtual(Base)",
     "flags 0x00, slot 7, arguments 2, locals 0, frame 5\n"
     "reference slots: 1\n"
     "     0  LOADR 1\n"
     "     3  CALL 0,0\n"
     "     8  RETV\n"},
    {"::Box()",
     "flags 0x20, slot -1, arguments 1, locals 0, frame 5\n"
     "     0  PUSHC 5\n"
     "     5  SETMF 4\n"
     "     8  RET\n"},
    {"$void@Ear::Listen()",
     "flags 0x10, slot 0, arguments 1, locals 1, frame 8\n"
     "     0  WAIT 3 {0/1:27 2/3:33 4/5:56}\n"
     "    27> POPR\n"
     "    28  JMP 57\n"
     "    33> STORE 1\n"
     "    36  GETMFR 2\n"
     "    39  PUSHC 1\n"
     "    44  LOAD 1\n"
     "    47  CAST 1\n"
     "    50  ASETR\n"
     "    51  JMP 57\n"
     "    56> POPR\n"
     "    57> RET\n"},
    {"$void@Edge::Refs(int,string,object)",
     "flags 0x00, slot 0, arguments 4, locals 1, frame 5\n"
     "reference slots: 2 3 4\n"
     "     0  RET\n"},
    {"$void@Edge::Chain()",
     "flags 0x00, slot 1, arguments 1, locals 2, frame 7\n"
     "     0  PUSHC 3\n"
     "     5  STOREK 2\n"
     "     8  STORE 1\n"
     "    11  RET\n"},
    {"$bool@Edge::AndInts(int,int)",
     "flags 0x00, slot 2, arguments 3, locals 0, frame 5\n"
     "     0  LOAD 1\n"
     "     3  JZK 12\n"
     "     8  POP\n"
     "     9  LOAD 2\n"
     "    12> RETV\n"},
    {"$void@Edge::Member(Edge)",
     "flags 0x00, slot 4, arguments 2, locals 0, frame 7\n"
     "reference slots: 1\n"
     "     0  LOADR 1\n"
     "     3  PUSHC 1\n"
     "     8  PUSHC 2\n"
     "    13  CALL -2,3\n"
     "    18  RET\n"},
    {"$string@Edge::Tail(string)",
     "flags 0x00, slot 5, arguments 2, locals 1, frame 8\n"
     "reference slots: 1 2\n"
     "     0  LOADR 1\n"
     "     3  SCOPY\n"
     "     4  STORER 2\n"
     "     7  LOADR 1\n"
     "    10  PUSHC -1\n"
     "    15  PUSHC 2\n"
     "    20  SRANGE\n"
     "    21  RETVR\n"},
};

class CodeGenerationTest : public gs_test::DeclareFixture {
 protected:
  // Each method-table slot as (function signature, view offset).
  std::vector<std::pair<std::string, i32>> Methods(const char* cls) const {
    std::vector<std::pair<std::string, i32>> methods;
    for (const GSLibraryFormat::ClassImage& c : library_.classes) {
      if (library_.String(c.name) != cls) continue;
      for (const GSLibraryFormat::ClassImage::Method& m : c.methods) {
        methods.emplace_back(library_.String(library_.functionReferences[m.functionReference].name),
                             m.viewOffset);
      }
    }
    return methods;
  }
};

TEST_F(CodeGenerationTest, HandCheckedFunctionsAndMethodTablesAsGenerated) {
  ASSERT_EQ(Compile(kSource), 0) << ::testing::PrintToString(messages_);
  for (const Expected& e : kListings) EXPECT_EQ(Listing(e.signature), e.listing) << e.signature;
  // An override takes its base's slot and keeps its own; a function inherited from a second base
  // is called through that base's view.
  using Table = std::vector<std::pair<std::string, i32>>;
  EXPECT_EQ(Methods("Box"), (Table{{"$int@Box::Area()", 0},
                                   {"$int@Box::Area()", 0},
                                   {"$int@Box::IfElse(int)", 0},
                                   {"$int@Box::Loop(int)", 0},
                                   {"$int@Box::Pick(int)", 0},
                                   {"$string@Box::Join(string)", 0},
                                   {"$Box@Box::Make(int)", 0},
                                   {"$int@Box::Virtual(Base)", 0}}));
  EXPECT_EQ(Methods("R"), (Table{{"$void@P::p()", 2}, {"$void@R::q()", 0}, {"$void@R::q()", 0}}));
}

}  // namespace
