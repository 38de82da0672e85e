#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/script_test_folder.h"

namespace {

using namespace GSCompiler;

// A unit parsed from text, with its messages.
struct Parsed {
  Parsed() { unit.Reset(nullptr, &log); }

  int Run(const std::string& source, const char* fileName = "t.gs") {
    unit.fileName = fileName;
    result = ParseTokens(unit, source.data(), u32(source.size()));
    while (const char* message = log.Take()) messages.push_back(message);
    return result;
  }

  GSCompileLog log;
  UnitRecord unit;
  int result = -1;
  std::vector<std::string> messages;
};

const char* const kOperators[] = {
    "post--", "post++", ".", "+x", "-x",  "!",  "~",  "--pre", "++pre",   "range", "index", "cast",
    "*",      "/",      "%", "+",  "-",   "<<", ">>", "<",     ">",       "<=",    ">=",    "==",
    "!=",     "&",      "^", "|",  "and", "or", "=",  "size",  "isclass", "copy",  "new",   ","};
const char* const kStatements[] = {"return", "break",  "continue", "goto",    "for",
                                   "while",  "switch", "if",       "default", "case",
                                   "label",  "block",  "wait",     "on"};
const char* const kDeclarations[] = {"function",   "prototype", "include",   "class", "vars",
                                     "declarator", "type",      "parameter", "name"};
const char* const kTypes[] = {"void", "bool", "int", "float", "string", "object"};

std::string Sexp(const ParseNode* node);

// A chain of more than one node prints in braces.
std::string Chain(const ParseNode* node) {
  if (!node) return "_";
  if (!node->next) return Sexp(node);
  std::string out = "{";
  for (; node; node = node->next) out += Sexp(node) + (node->next ? " " : "}");
  return out;
}

std::string TypeName(const ParseNode* node) {
  const i32 element = node->code % kTypeArrayOffset;
  std::string name = node->child[0] ? node->child[0]->text : kTypes[element];
  return node->code >= kTypeArrayOffset ? name + "[]" : name;
}

std::string Atom(const ParseNode* node) {
  if (node->group == kGroupDeclaration && node->kind == kDeclName) return node->text;
  if (node->group == kGroupDeclaration && node->kind == kDeclType) return TypeName(node);
  if (node->group != kGroupExpression) return "";
  switch (node->kind) {
    case kExprIdentifier:
      return node->text;
    case kExprMember:
      return std::string(".") + node->text;
    case kExprMe:
      return "me";
    case kExprNull:
      return "null";
    case kExprConstant:
      switch (node->code) {
        case kConstBool:
          return node->value ? "true" : "false";
        case kConstInt:
          return std::to_string(i32(node->value));
        case kConstFloat: {
          std::ostringstream out;
          out << std::bit_cast<float>(node->value) << "f";
          return out.str();
        }
        default:
          return "\"" + std::string(node->text) + "\"";
      }
    default:
      return "";
  }
}

// Compact trees: (head child0 child1 ...), trailing empty children left out.
std::string Sexp(const ParseNode* node) {
  if (!node) return "_";
  const std::string atom = Atom(node);
  if (!atom.empty()) return atom;
  std::string head;
  if (node->group == kGroupExpression && node->kind == kExprOperator) {
    head = kOperators[node->code];
  } else if (node->group == kGroupExpression && node->kind == kExprCall) {
    head = "call";
  } else if (node->group == kGroupStatement) {
    head = kStatements[node->kind];
  } else {
    head = kDeclarations[node->kind];
  }
  int last = 3;
  while (last >= 0 && !node->child[last]) --last;
  std::string out = "(" + head;
  for (int i = 0; i <= last; ++i) out += " " + Chain(node->child[i]);
  return out + ")";
}

// The statements of the body of "void f()" in a class.
const ParseNode* BodyOf(const Parsed& parsed) {
  const ParseNode* top = parsed.unit.topLevel;
  if (!top || !top->child[2] || !top->child[2]->child[3]) return nullptr;
  return top->child[2]->child[3]->child[0];
}

std::string Statements(const std::string& body) {
  Parsed parsed;
  if (parsed.Run("class C { void f() { " + body + " } };") != 0) {
    return parsed.messages.empty() ? "failed" : parsed.messages[0];
  }
  return Chain(BodyOf(parsed));
}

TEST(ParserTest, ExpressionsAndStatementsParseToTheirTrees) {
  const std::pair<const char*, const char*> cases[] = {
      {"a = b = c;", "(= a (= b c))"},
      {"a = b or c;", "(= a (or b c))"},
      {"a or b or c;", "(or (or a b) c)"},
      {"a or b and c;", "(or a (and b c))"},
      {"a and b and c;", "(and (and a b) c)"},
      {"a and b | c;", "(and a (| b c))"},
      {"a | b | c;", "(| (| a b) c)"},
      {"a | b ^ c;", "(| a (^ b c))"},
      {"a ^ b ^ c;", "(^ (^ a b) c)"},
      {"a ^ b & c;", "(^ a (& b c))"},
      {"a & b & c;", "(& (& a b) c)"},
      {"a & b == c;", "(& a (== b c))"},
      {"a == b != c;", "(!= (== a b) c)"},
      {"a != b < c;", "(!= a (< b c))"},
      {"a < b > c;", "(> (< a b) c)"},
      {"a <= b >= c;", "(>= (<= a b) c)"},
      {"a < b << c;", "(< a (<< b c))"},
      {"a << b >> c;", "(>> (<< a b) c)"},
      {"a >> b + c;", "(>> a (+ b c))"},
      {"a + b - c;", "(- (+ a b) c)"},
      {"a - b * c;", "(- a (* b c))"},
      {"a * b / c % d;", "(% (/ (* a b) c) d)"},
      {"a * (int) b;", "(* a (cast b int))"},
      {"(int) a + b;", "(+ (cast a int) b)"},
      {"(float[]) a;", "(cast a float[])"},
      {"cast<Foo> a + b;", "(+ (cast a Foo) b)"},
      {"(int) -a;", "(cast (-x a) int)"},
      {"-a.b;", "(-x (. a .b))"},
      {"!a[i];", "(! (index a i))"},
      {"~+a;", "(~ (+x a))"},
      {"++a--;", "(++pre (post-- a))"},
      {"a.b.c();", "(call (. (. a .b) .c))"},
      {"(a);", "a"},
      {"((a + b)) * c;", "(* (+ a b) c)"},
      {"a, b = c;", "{a (= b c)}"},
      // A comma expression in parentheses is one operand.
      {"(a, b);", "(, {a b})"},
      {"x = (a, b) + c;", "(= x (+ (, {a b}) c))"},
      {"x = a, (b, c);", "{(= x a) (, {b c})}"},
      {"x = ((a, b), c);", "(= x (, {(, {a b}) c}))"},
      {"f();", "(call f)"},
      {"f(a, b = 1);", "(call f {a (= b 1)})"},
      {"f((a, b), c);", "(call f {(, {a b}) c})"},
      {"f((a), (b, c, d));", "(call f {a (, {b c d})})"},
      {"a[(i, j)];", "(index a (, {i j}))"},
      {"new Foo((a, b));", "(new Foo _ (, {a b}))"},
      {"o.m(1)(2);", "(call (call (. o .m) 1) 2)"},
      {"a[1];", "(index a 1)"},
      {"a[1, 2];", "(range a 1 2)"},
      {"a[, 2];", "(range a _ 2)"},
      {"a.size();", "(size a)"},
      {"a.isclass(Foo);", "(isclass a Foo)"},
      {"a.copy(b);", "(copy a b)"},
      {"new Foo();", "(new Foo)"},
      {"new Foo(a, b);", "(new Foo _ {a b})"},
      {"new Foo[n];", "(new Foo[] n)"},
      {"new string(s);", "(new string _ s)"},
      {"me; null; true; false;", "{me null true false}"},
      {"0x10; 42; 'a'; 1.5; \"s\\n\";", "{16 42 97 1.5f \"s\n\"}"},
      // An else binds to the nearest if.
      {"if (a) if (b) x; else y;", "(if a (if b x y))"},
      {"if (a) { if (b) x; } else y;", "(if a (block (if b x)) y)"},
      {"for (;;) x;", "(for _ _ x)"},
      {"for (i = 0; i < n; i++) x;", "(for (= i 0) (< i n) x (post++ i))"},
      {"for (a, b; c; d, e) ;", "(for {a b} c _ {d e})"},
      {"switch (a) { case 1: x; case 2: default: y; }",
       "(switch a (block {(case 1) x (case 2) (default) y}))"},
      {"top: x; goto top;", "{(label top) x (goto top)}"},
      {"return; return a, b; break; continue;", "{(return) (return {a b}) (break) (continue)}"},
      {"wait() { on \"A\", \"B\": x; on \"A\", \"C\", msg: ; }",
       "(wait (block {(on \"A\" \"B\") x (on \"A\" \"C\" msg)}))"},
      {"int[ ] a;", "(vars int[] (declarator a))"},
      {"int a, b = 2; Foo[] c;",
       "{(vars int {(declarator a) (declarator b 2)}) (vars Foo[] (declarator c))}"},
      {"{ } ; { ; }", "{(block) (block)}"},
  };
  for (const auto& [body, tree] : cases) {
    EXPECT_EQ(Statements(body), tree) << body;
  }
}

TEST(ParserTest, DeclarationsIncludesAndTopLevelOrder) {
  Parsed parsed;
  ASSERT_EQ(parsed.Run("include \"Lib\\\\Base.GS\"\n"
                       "include \"other.gs\"\n"
                       "public game class A isclass B, C {\n"
                       "  public define int K = 1 + 2, L;\n"
                       "  native void N(void);\n"
                       "  thread int[] Run(int x, Foo y) { return; }\n"
                       "  static final secured Foo Get();\n"
                       "};\n"
                       "class D { };\n"),
            0)
      << parsed.messages[0];
  EXPECT_EQ(Chain(parsed.unit.topLevel),
            "{(include lib\\\\base.gs) (include other.gs)"
            " (class A {B C} {(vars int {(declarator K (+ 1 2)) (declarator L)})"
            " (prototype void N)"
            " (function int[] Run {(parameter int x) (parameter Foo y)} (block (return)))"
            " (prototype Foo Get)})"
            " (class D)}");
  const ParseNode* a = parsed.unit.topLevel->next->next;
  const ParseNode* constants = a->child[2];
  const ParseNode* run = constants->next->next;
  EXPECT_EQ(
      (std::vector<u32>{a->flags, constants->flags, constants->next->flags, run->flags,
                        run->child[3]->flags, run->next->flags}),
      (std::vector<u32>{kFlagPublic | kFlagGame, kFlagPublic | kFlagDefine | kFlagMemberVariables,
                        kFlagNative, kFlagThread, kFlagFunctionBody,
                        kFlagStatic | kFlagFinal | kFlagSecured}));
  EXPECT_EQ(run->child[0]->code, kTypeInt + kTypeArrayOffset);
  EXPECT_EQ(run->child[2]->next->child[0]->code, kTypeObject);
  EXPECT_EQ(std::pair(a->child[0]->line, constants->child[0]->line), std::pair(3, 4));
  // A prototype with "void" has no parameters, like one with empty parentheses.
  EXPECT_EQ(constants->next->child[2], nullptr);
}

TEST(ParserTest, DiscardedMarks) {
  Parsed parsed;
  ASSERT_EQ(parsed.Run("class C { void f() {"
                       " a = 1, b;"
                       " for (i = 0; c, d; e, g) ;"
                       " if (h) return k;"
                       " x = (l, m) + n; } };"),
            0);
  const ParseNode* statement = BodyOf(parsed);
  const ParseNode* loop = statement->next->next;
  const ParseNode* branch = loop->next;
  const ParseNode* comma = branch->next->child[1]->child[0];
  // Every expression of an expression statement; of a condition, all but the last; inside
  // parentheses all but the last operand.
  const ParseNode* nodes[] = {statement,
                              statement->next,
                              loop->child[0],
                              loop->child[1],
                              loop->child[1]->next,
                              loop->child[3],
                              loop->child[3]->next,
                              branch->child[0],
                              branch->child[1]->child[0],
                              comma->child[0],
                              comma->child[0]->next,
                              comma};
  std::string marks;
  for (const ParseNode* node : nodes) marks += (node->flags & kFlagDiscarded) ? '1' : '0';
  EXPECT_EQ(marks, "111101100100");
}

TEST(ParserTest, NodeLinesAndLiteralText) {
  Parsed parsed;
  const std::string longText(size_t(6) << 20, 'w');
  ASSERT_EQ(parsed.Run("class C {\nvoid f() {\ns = \"a\nb\";\nt = \"" + longText + "\";\n} };"), 0);
  const ParseNode* first = BodyOf(parsed);
  // A literal spanning lines is made on the line where it ends.
  EXPECT_EQ(first->child[1]->line, 4);
  EXPECT_STREQ(first->child[1]->text, "a\nb");
  // No cut at 2048 bytes, nor anywhere else.
  EXPECT_EQ(std::strlen(first->next->child[1]->text), longText.size());
}

TEST(ParserTest, SyntaxErrorsNameFileAndLine) {
  const std::pair<std::string, int> cases[] = {
      {"class A { }", 1},                                // no ";": found at the end
      {"include \"a.gs\"\n", 2},                         // includes without a class
      {"\n\nvoid f() { }", 3},                           // nothing but classes at the top
      {"class A {\n void f() { x = (Foo) y; } };", 2},   // a class cast needs "cast<>"
      {"class A { void f() {\n\n a[]; } };", 3},         // empty brackets in an expression
      {"#include \"a.gs\"\nclass A { };", 1},            // "#" is no token of the language
      {"class A { void f() { x = \"a\\\nb\"; } };", 1},  // backslash-newline in a string
      {"class A { void f() { a = b += 1; } };", 1},
      {"", 1},
  };
  for (const auto& [source, line] : cases) {
    Parsed parsed;
    EXPECT_EQ(parsed.Run(source, "dir/t.gs"), 1) << source;
    const std::string text = "parse error, line " + std::to_string(line);
    EXPECT_EQ(parsed.messages,
              std::vector<std::string>{"dir/t.gs(" + std::to_string(line) + ") : " + text})
        << source;
    EXPECT_EQ(parsed.unit.errorCount, 1) << source;
    EXPECT_EQ(parsed.unit.topLevel, nullptr) << source;
  }
}

std::string Nested(int depth) {
  return "class A { void f() { x = " + std::string(depth, '(') + "y" + std::string(depth, ')') +
         "; } };";
}

TEST(ParserTest, DeepNestingGrowsTheStackUpToItsLimit) {
  Parsed deep;
  ASSERT_EQ(deep.Run(Nested(3000)), 0);
  EXPECT_EQ(Statements("x = " + std::string(3000, '(') + "y" + std::string(3000, ')') + ";"),
            "(= x y)");

  Parsed tooDeep;
  EXPECT_EQ(tooDeep.Run(Nested(10000)), 2);
  EXPECT_EQ(tooDeep.messages, std::vector<std::string>{"t.gs(1) : parser stack overflow, line 1"});
  EXPECT_EQ(tooDeep.unit.errorCount, 1);

  // The parser is usable again afterwards.
  Parsed after;
  EXPECT_EQ(after.Run("class A { };"), 0);
}

TEST(ParserTest, LongListsAndChainsParse) {
  std::string body;
  for (int i = 0; i < 50000; ++i) body += "x = x + 1;\n";
  std::string sum = "y = 1";
  for (int i = 0; i < 50000; ++i) sum += " + 1";
  Parsed parsed;
  ASSERT_EQ(parsed.Run("class A { void f() {\n" + body + sum + "; } };"), 0);
  int count = 0;
  const ParseNode* last = nullptr;
  for (const ParseNode* s = BodyOf(parsed); s; s = s->next, ++count) last = s;
  EXPECT_EQ(count, 50001);
  EXPECT_EQ(last->line, 50002);
  // The dump walks a left-leaning chain of 50000 operators without recursing.
  const std::string dump = DumpParseTree(parsed.unit.topLevel);
  EXPECT_NE(dump.find("constant int 1 @50002"), std::string::npos);
}

TEST(ParserTest, ScannerFailureIsACountedErrorNotAnExit) {
  class FailingBuffer : public std::streambuf {
   protected:
    int_type underflow() override { throw std::ios_base::failure("device gone"); }
  };
  FailingBuffer buffer;
  std::istream input(&buffer);
  Parsed parsed;
  parsed.unit.fileName = "t.gs";
  EXPECT_EQ(ParseUnitStream(parsed.unit, input), 1);
  EXPECT_EQ(parsed.log.Take(), std::string("t.gs(1) : input in flex scanner failed, line 1"));
  EXPECT_EQ(parsed.unit.errorCount, 1);
}

// Each parse keeps its unit, scanner and stacks to itself: parses on two threads at once give the
// trees, results and messages that they give one after the other, stack growth and overflow
// included.
TEST(ParserTest, ParsesOnTwoThreadsAtOnceMatchParsesOneAfterTheOther) {
  const std::vector<std::string> sources = {
      "class A isclass B { int v = 1; void f(int a) { while (a > 0) a--; } };\nclass B { };",
      "class A {\n  void f() { x = ; }\n};\n", Nested(3000), Nested(10000)};
  using Outcome = std::tuple<int, std::vector<std::string>, std::string>;
  const auto parseAll = [&sources] {
    std::vector<Outcome> outcomes;
    for (const std::string& source : sources) {
      Parsed parsed;
      parsed.Run(source);
      outcomes.emplace_back(parsed.result, parsed.messages, DumpParseTree(parsed.unit.topLevel));
    }
    return outcomes;
  };
  const std::vector<Outcome> alone = parseAll();
  constexpr int kRounds = 10;
  std::vector<Outcome> seen[2];
  {
    std::vector<std::jthread> threads;
    for (std::vector<Outcome>& out : seen) {
      threads.emplace_back([&out, &parseAll] {
        for (int round = 0; round < kRounds; ++round) {
          const std::vector<Outcome> outcomes = parseAll();
          out.insert(out.end(), outcomes.begin(), outcomes.end());
        }
      });
    }
  }
  for (const std::vector<Outcome>& out : seen) {
    ASSERT_EQ(out.size(), alone.size() * kRounds);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], alone[i % alone.size()]) << i;
  }
}

class ParseThroughDriverTest : public gs_test::ScriptTestFolder {};

TEST_F(ParseThroughDriverTest, CompileReportsSyntaxErrorsAndCountsThem) {
  struct Case {
    std::string source;
    std::string message;
    int errors;
  };
  const Case cases[] = {
      {"class A {\n  void f() { x = ; }\n};\n", "bad.gs(2) : parse error, line 2", 2},
      {Nested(10000), "bad.gs(1) : parser stack overflow, line 1", 3},
  };
  for (const Case& c : cases) {
    Put("bad.gs", c.source);
    GSCompileLog log;
    EXPECT_EQ(CompileLibraryFile("bad.gs", nullptr, nullptr, &log), c.errors);
    std::vector<std::string> messages;
    while (const char* message = log.Take()) messages.push_back(message);
    EXPECT_EQ(messages, (std::vector<std::string>{c.message, ".. while compiling 'bad.gs'"}));
  }
}

}  // namespace
