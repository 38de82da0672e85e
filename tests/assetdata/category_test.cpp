#include "assetdata/category.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ExpressionCase {
  const char* list;
  const char* expression;
  bool holds;
};

TEST(CategoryExpressionTest, EvaluatesOrAndNot) {
  const ExpressionCase cases[] = {
      // AND, NOT, OR.
      {"TR;TV;LOC", "TR;LOC", true},
      {"TR;TV;LOC", "TR;-LOC", false},
      {"TR;TV;LOC", "TR;-XX", true},
      {"TR;TV;LOC", "XX|LOC", true},
      {"TR;TV;LOC", "XX|YY", false},
      {"TR;TV;LOC", "XX;TR|TV;ZZ|LOC;TR", true},
      {"TR;TV;LOC", "TR;TV;LOC;XX", false},
      // Runs of ';' are one separator; a trailing one adds nothing.
      {"TR;TV;LOC", "TR;;;LOC;", true},
      // A ';' at the start of an alternative is an empty term, which fails.
      {"TR;TV;LOC", ";TR", false},
      {"TR;TV;LOC", "XX|;TR", false},
      // Empty and null expressions hold.
      {"TR;TV;LOC", "", true},
      {"TR;TV;LOC", nullptr, true},
      {nullptr, nullptr, true},
      // Any expression against a null list fails, negated or empty-alternative ones included.
      {nullptr, "TR", false},
      {nullptr, "-TR", false},
      {nullptr, "", false},
      {nullptr, "|", false},
      // Empty alternatives: leading '|' and "||" hold; a trailing '|' adds nothing.
      {"TR", "XX||YY", true},
      {"", "XX||YY", true},
      {"TR", "|XX", true},
      {"TR", "XX|", false},
      {"XX", "XX|", true},
      {"TR", "|", true},
      // A lone '-' negates the empty term, so it holds; two signs fail again.
      {"TR", "-", true},
      {"", "-", true},
      {"TR", "--", false},
      {"TR", "-;TR", true},
      {"TR", "XX|-", true},
      // Double and triple negation.
      {"TR", "--TR", true},
      {"TR", "---TR", false},
      // Case matters.
      {"TR;TV", "tr", false},
  };
  for (const ExpressionCase& c : cases) {
    EXPECT_EQ(MatchCategoryExpression(c.list, c.expression), c.holds)
        << "list=" << (c.list ? c.list : "(null)")
        << " expression=" << (c.expression ? c.expression : "(null)");
  }
}

struct TermCase {
  const char* list;
  const char* term;
  bool matches;
};

TEST(CategoryExpressionTest, TermMatchesWholeEntriesBeforeTheBar) {
  const TermCase cases[] = {
      // Whole entries only: neither a prefix nor a longer text matches.
      {"TR;TV", "T", false},
      {"TR;TV", "TV", true},
      {"TR;TV", "TVX", false},
      {"TRAIN;TV", "TR", false},
      {"TR;TV", "TV;XX", true},  // the term ends at its own ';'
      {"TR;TV", "TV|XX", true},
      // The search stops at the first '|' of the list.
      {"TR|TV", "TV", false},
      {"TR|TV", "TR", true},
      {"|TR", "TR", false},
      {"TR;|;TV", "TV", false},
      // Empty entries never match a term.
      {";;TR;", "TR", true},
      {";;", "TR", false},
      {"", "TR", false},
      // Negation, including of a missing entry and of the empty term.
      {"TR", "--TR", true},
      {"TR", "-TR", false},
      {"TR", "-XX", true},
      {"TR", "-", true},
      {"TR|XX", "-XX", true},
      // Empty terms and nulls.
      {"TR", "", false},
      {"TR", "|TR", false},
      {"TR", ";TR", false},
      {nullptr, "TR", false},
      {nullptr, "-TR", false},
      {"TR", nullptr, false},
  };
  for (const TermCase& c : cases) {
    EXPECT_EQ(MatchCategoryTerm(c.list, c.term), c.matches)
        << "list=" << (c.list ? c.list : "(null)") << " term=" << (c.term ? c.term : "(null)");
  }
}

TEST(CategoryExpressionTest, LongRunsOfSignsAndSeparatorsAreSafe) {
  const std::string dashes(1 << 20, '-');
  EXPECT_TRUE(MatchCategoryTerm("TR", (dashes + "TR").c_str()));
  EXPECT_FALSE(MatchCategoryTerm("TR", (dashes + "-TR").c_str()));
  EXPECT_TRUE(MatchCategoryTerm("TR", (dashes + "-XX").c_str()));
  const std::string semis(1 << 20, ';');
  EXPECT_TRUE(MatchCategoryExpression("TR", ("TR" + semis + "TR").c_str()));
  const std::string bars(1 << 20, '|');
  EXPECT_TRUE(MatchCategoryExpression("TR", ("XX" + bars).c_str()));
}

TEST(CategoryTokenTest, ReadAndAppend) {
  EXPECT_EQ(ReadCategoryToken("TR;TV"), "TR");
  EXPECT_EQ(ReadCategoryToken("TR|TV"), "TR");
  EXPECT_EQ(ReadCategoryToken(";TR"), "");
  EXPECT_EQ(ReadCategoryToken(nullptr), "");

  struct AppendCase {
    const char* list;
    const char* text;
    const char* result;
  } cases[] = {
      {"", "TR;TV", "TR"}, {"TR", "TV|LOC", "TR;TV"}, {"TR", ";TV", "TR"}, {"TR", "|TV", "TR"},
      {"TR", "", "TR"},    {"TR", nullptr, "TR"},     {"", nullptr, ""},
  };
  for (const AppendCase& c : cases) {
    Qel::String list(c.list);
    AppendCategoryToken(list, c.text);
    EXPECT_EQ(list, c.result) << c.list << " + " << (c.text ? c.text : "(null)");
  }
}

TEST(CategoryTokenTest, HashTagsWithoutDuplicates) {
  struct Case {
    const char* base;
    const char* categories;
    const char* result;
  } cases[] = {
      {"#TR", "TR;TV|LOC", "#TR;#TV;#LOC"},
      {"", "TR;;TV||TR;|", "#TR;#TV"},
      {"#TV", "", "#TV"},
      // The duplicate test stops at a bar in the base, so tags after it can repeat.
      {"A|#TR", "TR", "A|#TR;#TR"},
  };
  for (const Case& c : cases) {
    Qel::String out("junk");
    AppendCategoryHashTags(out, Qel::String(c.base), Qel::String(c.categories));
    EXPECT_EQ(out, c.result) << c.base << " / " << c.categories;
  }
  // The output may be one of the inputs.
  Qel::String same("TR;TV");
  AppendCategoryHashTags(same, Qel::String("#TR"), same);
  EXPECT_EQ(same, "#TR;#TV");
  Qel::String base("#TR");
  AppendCategoryHashTags(base, base, Qel::String("TV"));
  EXPECT_EQ(base, "#TR;#TV");
}

TEST(CategoryConversionTest, KindToCategories) {
  struct Case {
    const char* kind;
    const char* type;
    const char* result;
  } cases[] = {
      {"Traincar", "locomotive", "TR;TV;LOCO"},
      {"traincar", "", "TR;TV"},
      // The more specific row stands first and wins.
      {"bridge", "road;tunnels", "SPLN;TUN"},
      {"bridge", "tunnels;road", "SPLN;TUN"},
      {"bridge", "road", "SPLN;BRG"},
      {"bridge", "tunnels", "TK;TUN"},
      {"library", "achievementvariable", "SLIB;ACHU"},
      {"scenery", "trackside", "TO"},
      {"nosuchkind", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KindToCategories(c.kind, c.type), c.result) << c.kind << " / " << c.type;
  }
}

TEST(CategoryConversionTest, CategoryClassToCategories) {
  struct Case {
    const char* kind;
    const char* code;
    const char* result;
  } cases[] = {
      {"traincar", "as", "TR;TV;TDR"}, {"TrainCar", "AA", "TR;TV;LOC;ELEC"},
      {nullptr, "FT", "FL;SCEN"},      {"traincar", "FT", "FL;SCEN"},  // a row of any kind
      {"scenery", "BR", "BD;RRD"},     {"scenery", "AS", ""},  // the code belongs to another kind
      {"", "AS", "TR;TV;TDR"},         {"texture-group", "JO", "TX;NEV"},
      {"spline", "SP", "RD;SPLN"},     {"traincar", "QQ", ""},
      {"traincar", "A", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CategoryClassToCategories(c.kind, Qel::String(c.code)), c.result)
        << (c.kind ? c.kind : "(null)") << " / " << c.code;
  }
}

}  // namespace
