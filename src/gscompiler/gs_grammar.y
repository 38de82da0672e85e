/* The GameScript grammar. */
%expect 1
/* No parser state outside yyparse and its session: a root unit compiled a class at a time parses
   the units it includes from within its own parse, and compiles may run on several threads. */
%define api.pure full
%parse-param {GSCompiler::ParseSession& session}
%lex-param {GSCompiler::ParseSession& session}

%code requires {
#include "qel/types.h"

struct ParseNode;
namespace GSCompiler {
class ParseSession;
}

// A list under construction: its first node and the last node of its next chain.
struct ParseNodeList {
  ParseNode* head;
  ParseNode* tail;
};
}

%code {
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "gscompiler/compile_report.h"
#include "gscompiler/unit_record.h"
#include "gscompiler/gs_literal.h"
#include "gscompiler/gs_scanner.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/parser_support.h"

#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
// The stacks live in the session, and only yyparse, which has the session, grows or frees them.
#define YYMALLOC(bytes) session.AllocStack(bytes)
#define YYFREE(block) session.FreeStack(block)

static int yylex(YYSTYPE* value, GSCompiler::ParseSession& session);
static void yyerror(GSCompiler::ParseSession& session, const char* message);

namespace {

using namespace GSCompiler;

i32 CurrentLine(const ParseSession& session) { return session.Scanner().lineno(); }

// Allocation failures leave the parse through std::bad_alloc; the parse entry reports them.
ParseNode* Node(ParseSession& session, i32 group, i32 kind, i32 code = -1) {
  ParseNode* node = NewParseNode(session.Unit().nodes, group, kind, CurrentLine(session), code);
  if (!node) throw std::bad_alloc();
  return node;
}

ParseNode* Node(ParseSession& session, i32 group, i32 kind, i32 code, ParseNode* child0,
                ParseNode* child1 = nullptr, ParseNode* child2 = nullptr,
                ParseNode* child3 = nullptr) {
  ParseNode* node = Node(session, group, kind, code);
  node->child[0] = child0;
  node->child[1] = child1;
  node->child[2] = child2;
  node->child[3] = child3;
  return node;
}

ParseNode* Operator(ParseSession& session, i32 code, ParseNode* child0,
                    ParseNode* child1 = nullptr, ParseNode* child2 = nullptr) {
  return Node(session, kGroupExpression, kExprOperator, code, child0, child1, child2);
}

// A comma expression in parentheses is one operand: its chain hangs under a node of its own, so
// that it cannot merge into an argument list or pass its first operand's value to an operator.
ParseNode* Parenthesised(ParseSession& session, ParseNodeList list) {
  return list.head->next ? Operator(session, kOpComma, list.head) : list.head;
}

ParseNode* LastOf(ParseNode* list) {
  while (list->next) list = list->next;
  return list;
}

ParseNodeList ListOf(ParseNode* item) { return ParseNodeList{item, item ? LastOf(item) : nullptr}; }

// Appends the item (itself possibly a chain, or empty) to the list.
ParseNodeList Append(ParseNodeList list, ParseNode* item) {
  if (!item) return list;
  if (!list.head) return ListOf(item);
  list.tail->next = item;
  list.tail = LastOf(item);
  return list;
}

// Hands the class just completed, the list's last, to the unit's class sink if it has one; the
// list is then empty, since the sink may reuse the class's nodes. False when the sink failed.
bool HandOver(const ParseSession& session, ParseNodeList& list) {
  UnitRecord& unit = session.Unit();
  if (!unit.classSink) return true;
  ParseNode* cls = list.tail;
  list = ParseNodeList{nullptr, nullptr};
  return unit.classSink->TakeClass(cls);
}

// Tells the unit's class sink of an include, which it must declare before the first class.
void IncludeForSink(const ParseSession& session, ParseNode* include) {
  UnitRecord& unit = session.Unit();
  if (unit.classSink) unit.classSink->TakeInclude(include->child[0]->text);
}

ParseNode* Top(const ParseSession& session, ParseNodeList list) {
  session.Unit().topLevel = list.head;
  return list.head;
}

void MarkDiscarded(ParseNode* list) {
  for (; list; list = list->next) list->flags |= kFlagDiscarded;
}

ParseNode* AsName(ParseNode* identifier) {
  identifier->group = kGroupDeclaration;
  identifier->kind = kDeclName;
  return identifier;
}

const char* KeepText(const ParseSession& session, const char* text) {
  char* copy = session.Unit().textMemory.StrDup(text);
  if (!copy) throw std::bad_alloc();
  return copy;
}

const char* TokenCString(const ParseSession& session) { return session.Scanner().YYText(); }

std::string_view TokenText(const ParseSession& session) {
  const GSScanner& scanner = session.Scanner();
  return std::string_view(scanner.YYText(), size_t(scanner.YYLeng()));
}

ParseNode* Constant(ParseSession& session, i32 code, u32 value) {
  ParseNode* node = Node(session, kGroupExpression, kExprConstant, code);
  node->value = value;
  return node;
}

// A literal beyond the int range keeps the value it has always been read as, since compiled
// scripts and their authors may rely on it; the author is told which value that is.
ParseNode* IntConstant(ParseSession& session, u32 (*convert)(std::string_view, bool&)) {
  const std::string_view text = TokenText(session);
  bool beyond = false;
  const u32 value = convert(text, beyond);
  if (beyond) {
    const std::string head = "warning: the integer '";
    const std::string tail = "' is larger than an int holds and is read as " + std::to_string(value);
    // The report puts "<file>(<line>) : " before the text and ", line <line>" after it, and cuts
    // the whole at the message limit: a literal too long for what is left is quoted by its first
    // characters, so that the value and the line still end the message.
    const size_t lineDigits = std::to_string(session.Scanner().lineno()).size();
    const size_t around = session.Unit().fileName.Length() + 2 * lineDigits +
                          std::strlen("() : , line ") + head.size() + tail.size();
    constexpr size_t kShortest = 8;
    const size_t room = kMaxMessageLength > around ? kMaxMessageLength - around : 0;
    std::string quoted(text);
    if (quoted.size() > room) quoted = quoted.substr(0, std::max(room, kShortest + 3) - 3) + "...";
    session.ReportWarning((head + quoted + tail).c_str());
  }
  return Constant(session, kConstInt, value);
}

ParseNode* Class(ParseSession& session, u32 specifiers, ParseNode* name, ParseNode* parents,
                 ParseNode* members) {
  ParseNode* node =
      Node(session, kGroupDeclaration, kDeclClass, -1, AsName(name), parents, members);
  node->flags = specifiers;
  return node;
}

ParseNode* Function(ParseSession& session, ParseNode* type, ParseNode* name,
                    ParseNode* parameters, ParseNode* body) {
  body->flags |= kFlagFunctionBody;
  return Node(session, kGroupDeclaration, kDeclFunction, -1, type, AsName(name), parameters, body);
}

ParseNode* Prototype(ParseSession& session, ParseNode* type, ParseNode* name,
                     ParseNode* parameters) {
  return Node(session, kGroupDeclaration, kDeclPrototype, -1, type, AsName(name), parameters);
}

ParseNode* Specified(u32 specifiers, ParseNode* declaration) {
  declaration->flags |= specifiers;
  return declaration;
}

ParseNode* ClassType(ParseSession& session, ParseNode* name, i32 code) {
  return Node(session, kGroupDeclaration, kDeclType, code, AsName(name));
}

ParseNode* RaiseToArray(ParseNode* type) {
  type->code += kTypeArrayOffset;
  return type;
}

ParseNode* Labelled(ParseNode* label, ParseNode* statement) {
  label->next = statement;
  return label;
}

}  // namespace
}

%union {
  ParseNode* node;
  ParseNodeList list;
  u32 bits;
  i32 code;
}

%token KEYWORD_BREAK KEYWORD_CASE KEYWORD_CONTINUE KEYWORD_DEFAULT KEYWORD_ELSE KEYWORD_FOR
%token KEYWORD_GOTO KEYWORD_IF KEYWORD_NULL KEYWORD_RETURN KEYWORD_SWITCH KEYWORD_WHILE
%token KEYWORD_AND KEYWORD_OR KEYWORD_TRUE KEYWORD_FALSE KEYWORD_VOID KEYWORD_BOOL KEYWORD_INT
%token KEYWORD_FLOAT KEYWORD_STRING KEYWORD_OBJECT KEYWORD_CLASS KEYWORD_INCLUDE KEYWORD_DEFINE
%token KEYWORD_STATIC KEYWORD_PUBLIC KEYWORD_FINAL KEYWORD_THREAD KEYWORD_NATIVE KEYWORD_GAME
%token KEYWORD_SECURED KEYWORD_SIZE KEYWORD_ISCLASS KEYWORD_COPY KEYWORD_NEW KEYWORD_ME
%token KEYWORD_CAST KEYWORD_WAIT KEYWORD_ON
%token SYMBOL_OP_DIM SYMBOL_RIGHT_SHIFT SYMBOL_LEFT_SHIFT SYMBOL_INC SYMBOL_DEC SYMBOL_LTE
%token SYMBOL_GTE SYMBOL_EQ SYMBOL_NEQ SYMBOL_UNKNOWN
// Binary operators, loosest first, all grouping to the left. Only the rule of binary expressions
// uses these ranks: one rule in place of a layer per rank saves a chain of single reductions on
// every operand.
%left KEYWORD_OR
%left KEYWORD_AND
%left '|'
%left '^'
%left '&'
%left SYMBOL_EQ SYMBOL_NEQ
%left '<' '>' SYMBOL_LTE SYMBOL_GTE
%left SYMBOL_LEFT_SHIFT SYMBOL_RIGHT_SHIFT
%left '+' '-'
%left '*' '/' '%'
%token IDENTIFIER CONSTANT_HEX CONSTANT_INT CONSTANT_FLOAT CONSTANT_CHAR CONSTANT_STRING

%type <bits> declaration_specifiers declaration_specifier
%type <code> unary_operator
%type <list> include_list class_declaration_list class_list declaration_list declarator_list
%type <list> parameter_list statement_list expression argument_expression_list
%type <node> program include_declaration include_file class_declaration declaration
%type <node> function_prototype_declaration function_declaration variable_declaration_list
%type <node> declarator type_specifier primitive_type parameter
%type <node> compound_statement statement labeled_statement
%type <node> expression_statement selection_statement iteration_statement jump_statement
%type <node> assignment_expression binary_expression cast_expression cast_form
%type <node> unary_expression prefixed_expression
%type <node> postfix_expression suffixed_expression primary_expression new_expression
%type <node> identifier constant

%start program

%%

program
  : include_list class_declaration_list             { $$ = Top(session, Append($1, $2.head)); }
  | class_declaration_list                          { $$ = Top(session, $1); }
  ;

include_list
  : include_declaration                             { $$ = ListOf($1); }
  | include_list include_declaration                { $$ = Append($1, $2); }
  ;

include_declaration
  : KEYWORD_INCLUDE include_file
      {
        $$ = Node(session, kGroupDeclaration, kDeclInclude, -1, $2);
        IncludeForSink(session, $$);
      }
  ;

include_file
  : CONSTANT_STRING
      {
        std::string name = UnquoteLiteral(TokenText(session), false);
        for (char& c : name) {
          if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        }
        $$ = Node(session, kGroupDeclaration, kDeclName);
        $$->text = KeepText(session, name.c_str());
      }
  ;

class_declaration_list
  : class_declaration
      {
        $$ = ListOf($1);
        if (!HandOver(session, $$)) YYABORT;
      }
  | class_declaration_list class_declaration
      {
        $$ = Append($1, $2);
        if (!HandOver(session, $$)) YYABORT;
      }
  ;

class_declaration
  : KEYWORD_CLASS identifier '{' '}' ';'
      { $$ = Class(session, 0, $2, nullptr, nullptr); }
  | KEYWORD_CLASS identifier KEYWORD_ISCLASS class_list '{' '}' ';'
      { $$ = Class(session, 0, $2, $4.head, nullptr); }
  | declaration_specifiers KEYWORD_CLASS identifier '{' '}' ';'
      { $$ = Class(session, $1, $3, nullptr, nullptr); }
  | declaration_specifiers KEYWORD_CLASS identifier KEYWORD_ISCLASS class_list '{' '}' ';'
      { $$ = Class(session, $1, $3, $5.head, nullptr); }
  | KEYWORD_CLASS identifier '{' declaration_list '}' ';'
      { $$ = Class(session, 0, $2, nullptr, $4.head); }
  | KEYWORD_CLASS identifier KEYWORD_ISCLASS class_list '{' declaration_list '}' ';'
      { $$ = Class(session, 0, $2, $4.head, $6.head); }
  | declaration_specifiers KEYWORD_CLASS identifier '{' declaration_list '}' ';'
      { $$ = Class(session, $1, $3, nullptr, $5.head); }
  | declaration_specifiers KEYWORD_CLASS identifier KEYWORD_ISCLASS class_list
    '{' declaration_list '}' ';'
      { $$ = Class(session, $1, $3, $5.head, $7.head); }
  ;

class_list
  : identifier                                      { $$ = ListOf(AsName($1)); }
  | class_list ',' identifier                       { $$ = Append($1, AsName($3)); }
  ;

declaration_list
  : declaration                                     { $$ = ListOf($1); }
  | declaration_list declaration                    { $$ = Append($1, $2); }
  ;

declaration
  : function_declaration
  | function_prototype_declaration
  | variable_declaration_list                       { $$ = Specified(kFlagMemberVariables, $1); }
  | declaration_specifiers function_declaration     { $$ = Specified($1, $2); }
  | declaration_specifiers function_prototype_declaration
      { $$ = Specified($1, $2); }
  | declaration_specifiers variable_declaration_list
      { $$ = Specified($1 | kFlagMemberVariables, $2); }
  ;

declaration_specifiers
  : declaration_specifier
  | declaration_specifiers declaration_specifier    { $$ = $1 | $2; }
  ;

declaration_specifier
  : KEYWORD_PUBLIC                                  { $$ = kFlagPublic; }
  | KEYWORD_NATIVE                                  { $$ = kFlagNative; }
  | KEYWORD_FINAL                                   { $$ = kFlagFinal; }
  | KEYWORD_THREAD                                  { $$ = kFlagThread; }
  | KEYWORD_STATIC                                  { $$ = kFlagStatic; }
  | KEYWORD_GAME                                    { $$ = kFlagGame; }
  | KEYWORD_SECURED                                 { $$ = kFlagSecured; }
  | KEYWORD_DEFINE                                  { $$ = kFlagDefine; }
  ;

function_prototype_declaration
  : type_specifier identifier '(' ')' ';'           { $$ = Prototype(session, $1, $2, nullptr); }
  | type_specifier identifier '(' KEYWORD_VOID ')' ';'
      { $$ = Prototype(session, $1, $2, nullptr); }
  | type_specifier identifier '(' parameter_list ')' ';'
      { $$ = Prototype(session, $1, $2, $4.head); }
  ;

function_declaration
  : type_specifier identifier '(' ')' compound_statement
      { $$ = Function(session, $1, $2, nullptr, $5); }
  | type_specifier identifier '(' KEYWORD_VOID ')' compound_statement
      { $$ = Function(session, $1, $2, nullptr, $6); }
  | type_specifier identifier '(' parameter_list ')' compound_statement
      { $$ = Function(session, $1, $2, $4.head, $6); }
  ;

variable_declaration_list
  : type_specifier declarator_list ';'
      { $$ = Node(session, kGroupDeclaration, kDeclVariableList, -1, $1, $2.head); }
  ;

declarator_list
  : declarator                                      { $$ = ListOf($1); }
  | declarator_list ',' declarator                  { $$ = Append($1, $3); }
  ;

declarator
  : identifier
      { $$ = Node(session, kGroupDeclaration, kDeclDeclarator, -1, AsName($1)); }
  | identifier '=' binary_expression
      { $$ = Node(session, kGroupDeclaration, kDeclDeclarator, -1, AsName($1), $3); }
  ;

type_specifier
  : primitive_type
  | primitive_type SYMBOL_OP_DIM                    { $$ = RaiseToArray($1); }
  | identifier                                      { $$ = ClassType(session, $1, kTypeObject); }
  | identifier SYMBOL_OP_DIM
      { $$ = ClassType(session, $1, kTypeObject + kTypeArrayOffset); }
  ;

primitive_type
  : KEYWORD_VOID
      { $$ = Node(session, kGroupDeclaration, kDeclType, kTypeVoid); }
  | KEYWORD_BOOL
      { $$ = Node(session, kGroupDeclaration, kDeclType, kTypeBool); }
  | KEYWORD_INT
      { $$ = Node(session, kGroupDeclaration, kDeclType, kTypeInt); }
  | KEYWORD_FLOAT
      { $$ = Node(session, kGroupDeclaration, kDeclType, kTypeFloat); }
  | KEYWORD_STRING
      { $$ = Node(session, kGroupDeclaration, kDeclType, kTypeString); }
  | KEYWORD_OBJECT
      { $$ = Node(session, kGroupDeclaration, kDeclType, kTypeObject); }
  ;

parameter_list
  : parameter                                       { $$ = ListOf($1); }
  | parameter_list ',' parameter                    { $$ = Append($1, $3); }
  ;

parameter
  : type_specifier identifier
      { $$ = Node(session, kGroupDeclaration, kDeclParameter, -1, $1, AsName($2)); }
  ;

compound_statement
  : '{' '}'
      { $$ = Node(session, kGroupStatement, kStmtBlock, -1, nullptr); }
  | '{' statement_list '}'
      { $$ = Node(session, kGroupStatement, kStmtBlock, -1, $2.head); }
  ;

statement_list
  : statement                                       { $$ = ListOf($1); }
  | statement_list statement                        { $$ = Append($1, $2); }
  ;

statement
  : variable_declaration_list
  | labeled_statement
  | compound_statement
  | expression_statement
  | selection_statement
  | iteration_statement
  | jump_statement
  ;

labeled_statement
  : identifier ':' statement
      { $$ = Labelled(Node(session, kGroupStatement, kStmtLabel, -1, AsName($1)), $3); }
  | KEYWORD_CASE binary_expression ':' statement
      { $$ = Labelled(Node(session, kGroupStatement, kStmtCase, -1, $2), $4); }
  | KEYWORD_DEFAULT ':' statement
      { $$ = Labelled(Node(session, kGroupStatement, kStmtDefault), $3); }
  | KEYWORD_ON constant ',' constant ':' statement
      { $$ = Labelled(Node(session, kGroupStatement, kStmtOn, -1, $2, $4), $6); }
  | KEYWORD_ON constant ',' constant ',' unary_expression ':' statement
      { $$ = Labelled(Node(session, kGroupStatement, kStmtOn, -1, $2, $4, $6), $8); }
  ;

expression_statement
  : ';'                                             { $$ = nullptr; }
  | expression ';'                                  { $$ = $1.head; MarkDiscarded($$); }
  ;

selection_statement
  : KEYWORD_IF '(' expression ')' statement
      { $$ = Node(session, kGroupStatement, kStmtIf, -1, $3.head, $5); }
  | KEYWORD_IF '(' expression ')' statement KEYWORD_ELSE statement
      { $$ = Node(session, kGroupStatement, kStmtIf, -1, $3.head, $5, $7); }
  | KEYWORD_SWITCH '(' expression ')' compound_statement
      { $$ = Node(session, kGroupStatement, kStmtSwitch, -1, $3.head, $5); }
  | KEYWORD_WAIT '(' ')' compound_statement
      { $$ = Node(session, kGroupStatement, kStmtWait, -1, $4); }
  ;

iteration_statement
  : KEYWORD_WHILE '(' expression ')' statement
      { $$ = Node(session, kGroupStatement, kStmtWhile, -1, $3.head, $5); }
  | KEYWORD_FOR '(' expression_statement expression_statement ')' statement
      {
        if ($4) LastOf($4)->flags &= ~u32(kFlagDiscarded);
        $$ = Node(session, kGroupStatement, kStmtFor, -1, $3, $4, $6, nullptr);
      }
  | KEYWORD_FOR '(' expression_statement expression_statement expression ')' statement
      {
        if ($4) LastOf($4)->flags &= ~u32(kFlagDiscarded);
        MarkDiscarded($5.head);
        $$ = Node(session, kGroupStatement, kStmtFor, -1, $3, $4, $7, $5.head);
      }
  ;

jump_statement
  : KEYWORD_GOTO identifier ';'
      { $$ = Node(session, kGroupStatement, kStmtGoto, -1, AsName($2)); }
  | KEYWORD_CONTINUE ';'
      { $$ = Node(session, kGroupStatement, kStmtContinue); }
  | KEYWORD_BREAK ';'
      { $$ = Node(session, kGroupStatement, kStmtBreak); }
  | KEYWORD_RETURN ';'
      { $$ = Node(session, kGroupStatement, kStmtReturn, -1, nullptr); }
  | KEYWORD_RETURN expression ';'
      { $$ = Node(session, kGroupStatement, kStmtReturn, -1, $2.head); }
  ;

expression
  : assignment_expression                           { $$ = ListOf($1); }
  | expression ',' assignment_expression
      { $1.tail->flags |= kFlagDiscarded; $$ = Append($1, $3); }
  ;

assignment_expression
  : binary_expression
  | unary_expression '=' assignment_expression      { $$ = Operator(session, kOpAssign, $1, $3); }
  ;

// An operand reaches binary_expression straight from the form it was parsed as (primary, suffixed,
// prefixed or cast), not through the chain postfix_expression, unary_expression,
// cast_expression: one reduction instead of four, with the language and the trees of the chain.
binary_expression
  : primary_expression
  | suffixed_expression
  | prefixed_expression
  | cast_form
  | binary_expression KEYWORD_OR binary_expression  { $$ = Operator(session, kOpOr, $1, $3); }
  | binary_expression KEYWORD_AND binary_expression { $$ = Operator(session, kOpAnd, $1, $3); }
  | binary_expression '|' binary_expression         { $$ = Operator(session, kOpBitOr, $1, $3); }
  | binary_expression '^' binary_expression         { $$ = Operator(session, kOpBitXor, $1, $3); }
  | binary_expression '&' binary_expression         { $$ = Operator(session, kOpBitAnd, $1, $3); }
  | binary_expression SYMBOL_EQ binary_expression   { $$ = Operator(session, kOpEqual, $1, $3); }
  | binary_expression SYMBOL_NEQ binary_expression  { $$ = Operator(session, kOpNotEqual, $1, $3); }
  | binary_expression '<' binary_expression         { $$ = Operator(session, kOpLess, $1, $3); }
  | binary_expression '>' binary_expression         { $$ = Operator(session, kOpGreater, $1, $3); }
  | binary_expression SYMBOL_LTE binary_expression
      { $$ = Operator(session, kOpLessEqual, $1, $3); }
  | binary_expression SYMBOL_GTE binary_expression
      { $$ = Operator(session, kOpGreaterEqual, $1, $3); }
  | binary_expression SYMBOL_LEFT_SHIFT binary_expression
      { $$ = Operator(session, kOpShiftLeft, $1, $3); }
  | binary_expression SYMBOL_RIGHT_SHIFT binary_expression
      { $$ = Operator(session, kOpShiftRight, $1, $3); }
  | binary_expression '+' binary_expression         { $$ = Operator(session, kOpAdd, $1, $3); }
  | binary_expression '-' binary_expression         { $$ = Operator(session, kOpSub, $1, $3); }
  | binary_expression '*' binary_expression         { $$ = Operator(session, kOpMul, $1, $3); }
  | binary_expression '/' binary_expression         { $$ = Operator(session, kOpDiv, $1, $3); }
  | binary_expression '%' binary_expression         { $$ = Operator(session, kOpMod, $1, $3); }
  ;

cast_expression
  : unary_expression
  | cast_form
  ;

cast_form
  : '(' primitive_type ')' cast_expression          { $$ = Operator(session, kOpCast, $4, $2); }
  | '(' primitive_type SYMBOL_OP_DIM ')' cast_expression
      { $$ = Operator(session, kOpCast, $5, RaiseToArray($2)); }
  | KEYWORD_CAST '<' type_specifier '>' cast_expression
      { $$ = Operator(session, kOpCast, $5, $3); }
  ;

unary_expression
  : postfix_expression
  | prefixed_expression
  ;

prefixed_expression
  : SYMBOL_INC unary_expression                     { $$ = Operator(session, kOpPreInc, $2); }
  | SYMBOL_DEC unary_expression                     { $$ = Operator(session, kOpPreDec, $2); }
  | unary_operator cast_expression                  { $$ = Operator(session, $1, $2); }
  ;

unary_operator
  : '+'                                             { $$ = kOpPlus; }
  | '-'                                             { $$ = kOpNegate; }
  | '~'                                             { $$ = kOpComplement; }
  | '!'                                             { $$ = kOpNot; }
  ;

postfix_expression
  : primary_expression
  | suffixed_expression
  ;

suffixed_expression
  : postfix_expression '[' ',' assignment_expression ']'
      { $$ = Operator(session, kOpRange, $1, nullptr, $4); }
  | postfix_expression '[' assignment_expression ',' ']'
      { $$ = Operator(session, kOpRange, $1, $3, nullptr); }
  | postfix_expression '[' assignment_expression ',' assignment_expression ']'
      { $$ = Operator(session, kOpRange, $1, $3, $5); }
  | postfix_expression '[' assignment_expression ']'
      { $$ = Operator(session, kOpIndex, $1, $3); }
  | postfix_expression '(' ')'
      { $$ = Node(session, kGroupExpression, kExprCall, -1, $1, nullptr); }
  | postfix_expression '(' argument_expression_list ')'
      { $$ = Node(session, kGroupExpression, kExprCall, -1, $1, $3.head); }
  | postfix_expression '.' identifier
      {
        $3->group = kGroupExpression;
        $3->kind = kExprMember;
        $$ = Operator(session, kOpMember, $1, $3);
      }
  | postfix_expression SYMBOL_INC                   { $$ = Operator(session, kOpPostInc, $1); }
  | postfix_expression SYMBOL_DEC                   { $$ = Operator(session, kOpPostDec, $1); }
  | postfix_expression '.' KEYWORD_SIZE '(' ')'     { $$ = Operator(session, kOpSize, $1); }
  | postfix_expression '.' KEYWORD_ISCLASS '(' identifier ')'
      { $$ = Operator(session, kOpIsClass, $1, AsName($5)); }
  | postfix_expression '.' KEYWORD_COPY '(' assignment_expression ')'
      { $$ = Operator(session, kOpCopy, $1, $5); }
  ;

argument_expression_list
  : assignment_expression                           { $$ = ListOf($1); }
  | argument_expression_list ',' assignment_expression
      { $$ = Append($1, $3); }
  ;

primary_expression
  : identifier
  | KEYWORD_ME
      { $$ = Node(session, kGroupExpression, kExprMe); }
  | KEYWORD_NULL
      { $$ = Node(session, kGroupExpression, kExprNull); }
  | constant
  | new_expression
  | '(' expression ')'                              { $$ = Parenthesised(session, $2); }
  ;

new_expression
  : KEYWORD_NEW primitive_type '(' ')'
      { $$ = Operator(session, kOpNew, $2, nullptr, nullptr); }
  | KEYWORD_NEW primitive_type '(' argument_expression_list ')'
      { $$ = Operator(session, kOpNew, $2, nullptr, $4.head); }
  | KEYWORD_NEW primitive_type '[' expression ']'
      { $$ = Operator(session, kOpNew, RaiseToArray($2), $4.head, nullptr); }
  | KEYWORD_NEW identifier '(' ')'
      { $$ = Operator(session, kOpNew, ClassType(session, $2, kTypeObject), nullptr, nullptr); }
  | KEYWORD_NEW identifier '(' argument_expression_list ')'
      { $$ = Operator(session, kOpNew, ClassType(session, $2, kTypeObject), nullptr, $4.head); }
  | KEYWORD_NEW identifier '[' expression ']'
      {
        $$ = Operator(session, kOpNew, ClassType(session, $2, kTypeObject + kTypeArrayOffset),
                      $4.head, nullptr);
      }
  ;

identifier
  : IDENTIFIER
      {
        $$ = Node(session, kGroupExpression, kExprIdentifier);
        $$->text = KeepText(session, TokenCString(session));
      }
  ;

constant
  : CONSTANT_HEX
      { $$ = IntConstant(session, ConvertHexLiteral); }
  | CONSTANT_INT
      { $$ = IntConstant(session, ConvertIntLiteral); }
  | CONSTANT_CHAR
      { $$ = Constant(session, kConstInt, ConvertCharLiteral(TokenText(session))); }
  | CONSTANT_FLOAT
      { $$ = Constant(session, kConstFloat, ConvertFloatLiteral(TokenText(session))); }
  | CONSTANT_STRING
      {
        $$ = Constant(session, kConstString, 0);
        $$->text = KeepText(session, UnquoteLiteral(TokenText(session), true).c_str());
      }
  | KEYWORD_TRUE                                    { $$ = Constant(session, kConstBool, 1); }
  | KEYWORD_FALSE                                   { $$ = Constant(session, kConstBool, 0); }
  ;

%%

static int yylex(YYSTYPE*, GSCompiler::ParseSession& session) {
  return session.Scanner().yylex();
}

static void yyerror(GSCompiler::ParseSession& session, const char* message) {
  // Bison's own wording gives way to the compiler's.
  session.ReportError(std::strcmp(message, "memory exhausted") == 0 ? "parser stack overflow"
                                                                     : "parse error");
}
