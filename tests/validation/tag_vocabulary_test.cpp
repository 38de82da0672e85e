// The configuration vocabulary: every name interned once, exactly as written.
#include "validation/tag_vocabulary.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(TagVocabulary, HoldsEveryNameOnceAndExactly) {
  const auto entries = TETLib::TagVocabulary();
  EXPECT_EQ(entries.size(), 65u + 31u + 57u + 13u + 4u + 1u);
  std::set<std::string> texts;
  for (const TETLib::VocabularyEntry& entry : entries) {
    EXPECT_EQ(entry.name->View(), entry.text);
    // Interned: the same text gives the same handle.
    EXPECT_EQ(*entry.name, Qel::PString(entry.text));
    EXPECT_TRUE(texts.insert(entry.text).second) << entry.text;
  }
  EXPECT_EQ(TETLib::kTagQuote.View(), "\"");
  EXPECT_EQ(TETLib::kTagChunkyMesh.View(), "chunky_mesh");
  EXPECT_EQ(TETLib::kTagAlphaBlendCacheUnsorted.View(), "AlphaBlendCacheUnsorted");
}

TEST(TagVocabulary, LetterCaseMatters) {
  EXPECT_NE(Qel::PString("Kind"), TETLib::kTagKind);
  EXPECT_NE(Qel::PString("KESTRO-BUILD"), TETLib::kTagKestroBuild);
  EXPECT_EQ(Qel::PString("kestro-build"), TETLib::kTagKestroBuild);
  EXPECT_TRUE(TETLib::kTagEmpty.IsEmpty());
}

}  // namespace
