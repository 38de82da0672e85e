#include "assetdata/category.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Per list, the texts that hold and those that fail.
struct Case {
  const char* list;
  std::vector<const char*> hold, fail;
};

TEST(CategoryExpressionTest, EvaluatesOrAndNot) {
  const Case cases[] = {
      // ';' is AND (runs are one; a leading one is an empty term, which fails), '-' NOT, '|' OR;
      // empty and null expressions hold.
      {"TR;TV;LOC",
       {"TR;LOC", "TR;-XX", "XX|LOC", "XX;TR|TV;ZZ|LOC;TR", "TR;;;LOC;", "", nullptr},
       {"TR;-LOC", "XX|YY", "TR;TV;LOC;XX", ";TR", "XX|;TR"}},
      // Any expression against a null list fails.
      {nullptr, {nullptr}, {"TR", "-TR", "", "|"}},
      // Empty alternatives: leading '|' and "||" hold, a trailing '|' adds nothing; a lone '-'
      // negates the empty term, so it holds, two signs fail again; case matters.
      {"TR", {"XX||YY", "|XX", "|", "-", "-;TR", "XX|-", "--TR"}, {"XX|", "--", "---TR", "tr"}},
      {"", {"XX||YY", "-"}, {}},
      {"XX", {"XX|"}, {}},
  };
  for (const Case& c : cases) {
    for (bool holds : {true, false}) {
      for (const char* expression : holds ? c.hold : c.fail) {
        EXPECT_EQ(MatchCategoryExpression(c.list, expression), holds)
            << "list=" << (c.list ? c.list : "(null)")
            << " expression=" << (expression ? expression : "(null)");
      }
    }
  }
}

TEST(CategoryExpressionTest, TermMatchesWholeEntriesBeforeTheBar) {
  const Case cases[] = {
      // Whole entries only; the term ends at its own ';' or '|'; negation, of a missing entry
      // and of the empty term too.
      {"TR;TV", {"TV", "TV;XX", "TV|XX"}, {"T", "TVX"}},
      {"TRAIN;TV", {}, {"TR"}},
      // The search stops at the first '|' of the list; empty entries never match.
      {"TR|TV", {"TR"}, {"TV"}},
      {"|TR", {}, {"TR"}},
      {"TR;|;TV", {}, {"TV"}},
      {";;TR;", {"TR"}, {}},
      {";;", {}, {"TR"}},
      {"", {}, {"TR"}},
      {"TR", {"--TR", "-XX", "-"}, {"-TR", "", "|TR", ";TR", nullptr}},
      {"TR|XX", {"-XX"}, {}},
      {nullptr, {}, {"TR", "-TR"}},
  };
  for (const Case& c : cases) {
    for (bool matches : {true, false}) {
      for (const char* term : matches ? c.hold : c.fail) {
        EXPECT_EQ(MatchCategoryTerm(c.list, term), matches)
            << "list=" << (c.list ? c.list : "(null)") << " term=" << (term ? term : "(null)");
      }
    }
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

TEST(CategoryTokenTest, ReadAppendAndHashTagsWithoutDuplicates) {
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

  struct HashCase {
    const char* base;
    const char* categories;
    const char* result;
  } hashCases[] = {
      {"#TR", "TR;TV|LOC", "#TR;#TV;#LOC"},
      {"", "TR;;TV||TR;|", "#TR;#TV"},
      {"#TV", "", "#TV"},
      // The duplicate test stops at a bar in the base, so tags after it can repeat.
      {"A|#TR", "TR", "A|#TR;#TR"},
  };
  for (const HashCase& c : hashCases) {
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

TEST(CategoryConversionTest, KindOrClassCodeToCategories) {
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
  // From a category-class code.
  const Case classes[] = {
      {"traincar", "as", "TR;TV;TDR"}, {"TrainCar", "AA", "TR;TV;LOC;ELEC"},
      {nullptr, "FT", "FL;SCEN"},      {"traincar", "FT", "FL;SCEN"},  // a row of any kind
      {"scenery", "BR", "BD;RRD"},     {"scenery", "AS", ""},  // the code belongs to another kind
      {"", "AS", "TR;TV;TDR"},         {"texture-group", "JO", "TX;NEV"},
      {"spline", "SP", "RD;SPLN"},     {"traincar", "QQ", ""},
      {"traincar", "A", ""},
  };
  for (const Case& c : classes) {
    EXPECT_EQ(CategoryClassToCategories(c.kind, Qel::String(c.type)), c.result)
        << (c.kind ? c.kind : "(null)") << " / " << c.type;
  }
}

}  // namespace
