#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "gscompiler/gs_grammar.h"
#include "gscompiler/gs_literal.h"
#include "gscompiler/gs_scanner.h"

namespace {

using GSCompiler::GSScanner;

struct Token {
  int code;
  std::string text;
  int line;

  bool operator==(const Token&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Token& token) {
  return out << "{" << token.code << ", \"" << token.text << "\", " << token.line << "}";
}

std::vector<Token> Scan(const std::string& source) {
  std::istringstream input(source);
  GSScanner scanner(input);
  std::vector<Token> tokens;
  while (int code = scanner.yylex()) {
    tokens.push_back(
        {code, std::string(scanner.YYText(), size_t(scanner.YYLeng())), scanner.lineno()});
  }
  return tokens;
}

std::vector<int> Codes(const std::string& source) {
  std::vector<int> codes;
  for (const Token& token : Scan(source)) codes.push_back(token.code);
  return codes;
}

// Longest match, then the first rule; comments and blanks; literals spanning lines.
TEST(ScannerTest, SourcesScanToTheirTokens) {
  struct Case {
    std::string source;
    std::vector<Token> tokens;
  };
  const Case cases[] = {
      {"1.5ff", {{CONSTANT_FLOAT, "1.5f", 1}, {IDENTIFIER, "f", 1}}},
      {"1.5F", {{CONSTANT_FLOAT, "1.5", 1}, {IDENTIFIER, "F", 1}}},
      {"123abc", {{CONSTANT_INT, "123", 1}, {IDENTIFIER, "abc", 1}}},
      {"0x1g", {{CONSTANT_HEX, "0x1", 1}, {IDENTIFIER, "g", 1}}},
      {"0x", {{CONSTANT_INT, "0", 1}, {IDENTIFIER, "x", 1}}},
      {"1.e5", {{CONSTANT_FLOAT, "1.", 1}, {IDENTIFIER, "e5", 1}}},
      {".5 5.", {{CONSTANT_FLOAT, ".5", 1}, {CONSTANT_FLOAT, "5.", 1}}},
      {"a.b", {{IDENTIFIER, "a", 1}, {'.', ".", 1}, {IDENTIFIER, "b", 1}}},
      {"class classes Class _x9",
       {{KEYWORD_CLASS, "class", 1},
        {IDENTIFIER, "classes", 1},
        {IDENTIFIER, "Class", 1},
        {IDENTIFIER, "_x9", 1}}},
      {"L L\"abc\" L'a' Lx",
       {{IDENTIFIER, "L", 1},
        {CONSTANT_STRING, "L\"abc\"", 1},
        {CONSTANT_CHAR, "L'a'", 1},
        {IDENTIFIER, "Lx", 1}}},
      {"''", {{SYMBOL_UNKNOWN, "'", 1}, {SYMBOL_UNKNOWN, "'", 1}}},
      {"'ab' '\\''", {{CONSTANT_CHAR, "'ab'", 1}, {CONSTANT_CHAR, "'\\''", 1}}},
      {"#include", {{SYMBOL_UNKNOWN, "#", 1}, {KEYWORD_INCLUDE, "include", 1}}},
      {"+= &&", {{'+', "+", 1}, {'=', "=", 1}, {'&', "&", 1}, {'&', "&", 1}}},
      {">>> <<=",
       {{SYMBOL_RIGHT_SHIFT, ">>", 1}, {'>', ">", 1}, {SYMBOL_LEFT_SHIFT, "<<", 1}, {'=', "=", 1}}},
      {"---", {{SYMBOL_DEC, "--", 1}, {'-', "-", 1}}},
      // Block comments do not nest: the first closer ends the comment.
      {"x /* a /* b */ y", {{IDENTIFIER, "x", 1}, {IDENTIFIER, "y", 1}}},
      {"x /* a /* b */ y */",
       {{IDENTIFIER, "x", 1}, {IDENTIFIER, "y", 1}, {'*', "*", 1}, {'/', "/", 1}}},
      {"/* a\n**\n*/ z", {{IDENTIFIER, "z", 3}}},
      {"x // y /* z\nw", {{IDENTIFIER, "x", 1}, {IDENTIFIER, "w", 2}}},
      {"x /* never closed\n\n", {{IDENTIFIER, "x", 1}}},
      {"a\r\n\t\v\f b", {{IDENTIFIER, "a", 1}, {IDENTIFIER, "b", 2}}},
      // Blanks and line breaks inside brackets still make one token; a CR or a comment does not.
      {"int[ \n\t ] x",
       {{KEYWORD_INT, "int", 1}, {SYMBOL_OP_DIM, "[ \n\t ]", 2}, {IDENTIFIER, "x", 2}}},
      {"[\r]", {{'[', "[", 1}, {']', "]", 1}}},
      {"[/**/]", {{'[', "[", 1}, {']', "]", 1}}},
      // Literals spanning lines report their last line; a backslash before a line break is no
      // item: the literal falls apart into its pieces.
      {"a\n\"one\ntwo\nthree\" b",
       {{IDENTIFIER, "a", 1}, {CONSTANT_STRING, "\"one\ntwo\nthree\"", 4}, {IDENTIFIER, "b", 4}}},
      {"'\n'", {{CONSTANT_CHAR, "'\n'", 2}}},
      {"\"a\\\nb\"",
       {{SYMBOL_UNKNOWN, "\"", 1},
        {IDENTIFIER, "a", 1},
        {SYMBOL_UNKNOWN, "\\", 1},
        {IDENTIFIER, "b", 2},
        {SYMBOL_UNKNOWN, "\"", 2}}},
      {"\"unterminated", {{SYMBOL_UNKNOWN, "\"", 1}, {IDENTIFIER, "unterminated", 1}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Scan(c.source), c.tokens) << c.source;
  }
}

TEST(ScannerTest, EveryKeywordAndOperator) {
  const char* const words[] = {
      "break",  "case",   "continue", "default", "else",   "for",     "goto",
      "if",     "null",   "return",   "switch",  "while",  "and",     "or",
      "true",   "false",  "void",     "bool",    "int",    "float",   "string",
      "object", "class",  "include",  "define",  "static", "public",  "final",
      "thread", "native", "game",     "secured", "size",   "isclass", "copy",
      "new",    "me",     "cast",     "wait",    "on",     ">>",      "<<",
      "++",     "--",     "<=",       ">=",      "==",     "!=",      "[]"};
  const int codes[] = {
      KEYWORD_BREAK,      KEYWORD_CASE,      KEYWORD_CONTINUE, KEYWORD_DEFAULT, KEYWORD_ELSE,
      KEYWORD_FOR,        KEYWORD_GOTO,      KEYWORD_IF,       KEYWORD_NULL,    KEYWORD_RETURN,
      KEYWORD_SWITCH,     KEYWORD_WHILE,     KEYWORD_AND,      KEYWORD_OR,      KEYWORD_TRUE,
      KEYWORD_FALSE,      KEYWORD_VOID,      KEYWORD_BOOL,     KEYWORD_INT,     KEYWORD_FLOAT,
      KEYWORD_STRING,     KEYWORD_OBJECT,    KEYWORD_CLASS,    KEYWORD_INCLUDE, KEYWORD_DEFINE,
      KEYWORD_STATIC,     KEYWORD_PUBLIC,    KEYWORD_FINAL,    KEYWORD_THREAD,  KEYWORD_NATIVE,
      KEYWORD_GAME,       KEYWORD_SECURED,   KEYWORD_SIZE,     KEYWORD_ISCLASS, KEYWORD_COPY,
      KEYWORD_NEW,        KEYWORD_ME,        KEYWORD_CAST,     KEYWORD_WAIT,    KEYWORD_ON,
      SYMBOL_RIGHT_SHIFT, SYMBOL_LEFT_SHIFT, SYMBOL_INC,       SYMBOL_DEC,      SYMBOL_LTE,
      SYMBOL_GTE,         SYMBOL_EQ,         SYMBOL_NEQ,       SYMBOL_OP_DIM};
  static_assert(std::size(words) == std::size(codes));
  for (size_t i = 0; i < std::size(words); ++i) {
    const char* word = words[i];
    const int code = codes[i];
    EXPECT_EQ(Codes(word), std::vector<int>{code}) << word;
    // Not a keyword in another case, nor with more letters.
    std::string upper(word);
    upper[0] = char(std::toupper(static_cast<unsigned char>(upper[0])));
    if (std::isalpha(static_cast<unsigned char>(word[0]))) {
      EXPECT_EQ(Codes(upper), std::vector<int>{IDENTIFIER}) << upper;
      EXPECT_EQ(Codes(std::string(word) + "s"), std::vector<int>{IDENTIFIER}) << word;
    }
  }
  for (char c : std::string(";:{},=()[].&!~-+*/%<>^|")) {
    EXPECT_EQ(Codes(std::string(1, c) + " "), std::vector<int>{c}) << c;
  }
  for (const char* word : {"private", "this", "do", "extends", "constructor", "inherited"}) {
    EXPECT_EQ(Codes(word), std::vector<int>{IDENTIFIER}) << word;
  }
  const std::string stray{'#', '?', '$', '\\', '"', '\xff', '\x80', '\0', '@'};
  EXPECT_EQ(Codes(stray), std::vector<int>(stray.size(), SYMBOL_UNKNOWN));
}

// Tokens many times the scanner's buffer, each followed by a short one that shows where the
// long one ended and which line the scanner counted to.
TEST(ScannerTest, MultiMegabyteTokensStayWholeAndCountTheirLines) {
  constexpr size_t kLength = size_t(6) << 20;
  std::string lines(kLength, 'q');
  for (size_t i = 63; i < kLength; i += 64) lines[i] = '\n';
  const int last = 1 + int(kLength / 64);
  struct Case {
    std::string source;
    int code;
    std::string text;  // empty for skipped text
    int line;
  };
  const Case cases[] = {
      {std::string(kLength, ' ') + "\n\t\n", 0, "", 3},
      {"/*" + lines + "*/", 0, "", last},
      {"//" + std::string(kLength, '/') + "\n", 0, "", 2},
      {"\"" + lines + "\"", CONSTANT_STRING, "\"" + lines + "\"", last},
      {std::string(kLength, 'n'), IDENTIFIER, std::string(kLength, 'n'), 1},
      {std::string(kLength, '7'), CONSTANT_INT, std::string(kLength, '7'), 1},
  };
  for (const Case& c : cases) {
    const std::vector<Token> tokens = Scan(c.source + " end");
    const size_t count = c.text.empty() ? 1 : 2;
    ASSERT_EQ(tokens.size(), count) << c.source.substr(0, 8);
    if (count == 2) {
      EXPECT_EQ(tokens[0].code, c.code);
      // Not EXPECT_EQ: a failure would print megabytes.
      EXPECT_TRUE(tokens[0].text == c.text) << c.source.substr(0, 8);
      EXPECT_EQ(tokens[0].line, c.line);
    }
    EXPECT_EQ(tokens.back(), (Token{IDENTIFIER, "end", c.line})) << c.source.substr(0, 8);
  }
}

// A stream whose reads fail as a broken device's would.
class FailingBuffer : public std::streambuf {
 protected:
  int_type underflow() override { throw std::ios_base::failure("device gone"); }
};

TEST(ScannerTest, InternalFailureThrowsInsteadOfEndingTheProcess) {
  FailingBuffer buffer;
  std::istream input(&buffer);
  GSScanner scanner(input);
  try {
    scanner.yylex();
    FAIL() << "no failure raised";
  } catch (const GSCompiler::ScannerFailure& failure) {
    EXPECT_STREQ(failure.what(), "input in flex scanner failed");
  }
}

TEST(UnquoteLiteralTest, QuotesPrefixAndEscapes) {
  struct Case {
    std::string token;
    bool escapes;
    std::string text;
  };
  const Case cases[] = {
      {"\"abc\"", true, "abc"},
      {"L\"abc\"", true, "abc"},
      {"'a'", true, "a"},
      {"L'ab'", true, "ab"},
      {"abc", true, ""},
      {"", true, ""},
      {"\"\\\\ \\n \\t \\v \\r \\f \\b \\a \\' \\\" \\q\"", true, "\\ \n \t \v \r \f \b \a ' \" q"},
      {"\"\\x41\"", true, "x41"},
      {"\"ab\\0cd\"", true, "ab"},
      {"\"C:\\Dir\\File.gs\"", false, "C:\\Dir\\File.gs"},
      {"\"a\\\"b\"", false, "a\\\"b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GSCompiler::UnquoteLiteral(c.token, c.escapes), c.text) << c.token;
  }
  const std::string body(5000, 'z');
  EXPECT_EQ(GSCompiler::UnquoteLiteral("\"" + body + "\"", true), body);
}

u32 FloatBits(float value) { return std::bit_cast<u32>(value); }

// The integer conversions' values; whether a literal was beyond them is the compile's to report.
u32 IntValue(std::string_view token) {
  bool beyond = false;
  return GSCompiler::ConvertIntLiteral(token, beyond);
}
u32 HexValue(std::string_view token) {
  bool beyond = false;
  return GSCompiler::ConvertHexLiteral(token, beyond);
}

TEST(LiteralValueTest, Conversions) {
  using namespace GSCompiler;
  struct Case {
    u32 (*convert)(std::string_view);
    std::string token;
    u32 value;
  };
  const std::string hugeWhole = std::string(400, '9') + ".0";
  const std::string tinyFraction = "0." + std::string(400, '0') + "1";
  const Case cases[] = {
      {IntValue, "0", 0},
      {IntValue, "2147483648", 0x7FFFFFFF},
      {IntValue, "99999999999999999999999", 0x7FFFFFFF},
      {HexValue, "0x10", 16},
      {HexValue, "0XaBc", 0xABC},
      {HexValue, "0x80000000", 0x7FFFFFFF},
      {HexValue, "0xFFFFFFFFFFFFFFFFFF", 0x7FFFFFFF},
      // Nine digits and more: the ninth digit must not carry the value past 32 bits.
      {HexValue, "0x123456789", 0x7FFFFFFF},
      {HexValue, "0x100000000", 0x7FFFFFFF},
      {HexValue, "0x0000000007FFFFFFF", 0x7FFFFFFF},
      {IntValue, "4294967296", 0x7FFFFFFF},
      {IntValue, "9999999999", 0x7FFFFFFF},
      {ConvertFloatLiteral, "1.5f", FloatBits(1.5f)},
      {ConvertFloatLiteral, "1.", FloatBits(1.0f)},
      {ConvertFloatLiteral, "0.1", FloatBits(float(0.1))},
      {ConvertFloatLiteral, "340282350000000000000000000000000000000.0",
       FloatBits(std::numeric_limits<float>::max())},
      {ConvertFloatLiteral, "340282360000000000000000000000000000000.0",
       FloatBits(std::numeric_limits<float>::infinity())},
      {ConvertFloatLiteral, hugeWhole, FloatBits(std::numeric_limits<float>::infinity())},
      {ConvertFloatLiteral, tinyFraction, FloatBits(0.0f)},
      {ConvertCharLiteral, "'a'", 97},
      {ConvertCharLiteral, "'ab'", 97},
      {ConvertCharLiteral, "'\\n'", 10},
      {ConvertCharLiteral, "'\\0'", 0},
      {ConvertCharLiteral, "'\xe9'", 0xFFFFFFE9},
      {ConvertCharLiteral, "'\\\xff'", 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.convert(c.token), c.value) << c.token;
  }
}

}  // namespace
