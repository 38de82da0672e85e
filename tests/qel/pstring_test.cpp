#include "qel/pstring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qel/string.h"
#include "qelgfx/uid.h"

namespace {

using Qel::PString;

// A constant built during static initialisation must find a working cache.
const PString kStaticKey("static-key");

TEST(PString, InterningGivesHandleEqualityAndEmptyIsNull) {
  PString a("Kestro");
  PString b(std::string("Kes") + "tro");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_NE(a, PString("kestro"));
  EXPECT_EQ(kStaticKey, PString("static-key"));

  PString empty("");
  EXPECT_TRUE(empty == PString() && empty.Get() == nullptr && !empty.IsSet());
  EXPECT_STREQ(empty.CStr(), "");
  EXPECT_EQ(PString(nullptr), PString());

  PString self("self-assigned-unique-text");
  const PString& alias = self;
  self = alias;
  Qel::PStringCache::CollectAllGarbage();
  EXPECT_STREQ(self.Get(), "self-assigned-unique-text");
}

TEST(PString, CuttingStaysInsideTheText) {
  PString s("\"MixedCase");
  s.KeepRight(s.Length() - 1);
  s.KeepRight(99);
  s.ToLower();
  EXPECT_EQ(s, PString("mixedcase"));
  s.Left(0);
  EXPECT_EQ(s, PString());
  EXPECT_EQ(PString() + PString("cd"), PString("cd"));
}

TEST(PString, EqualsIgnoreCaseTreatsNullTextStrictly) {
  EXPECT_TRUE(PString().EqualsIgnoreCase(static_cast<const char*>(nullptr)));
  EXPECT_FALSE(PString().EqualsIgnoreCase(""));
  EXPECT_FALSE(PString("a").EqualsIgnoreCase(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(PString("Config.TXT").EqualsIgnoreCase("config.txt"));
  EXPECT_TRUE(PString("ABC").EqualsIgnoreCase(PString("abc")));
}

TEST(PString, CacheGrowsAndCollectsKeepingLiveNodes) {
  Qel::PStringCache::CollectAllGarbage();
  const size_t base = Qel::PStringCache::Size();
  constexpr int kTexts = 30000;
  std::vector<PString> kept;
  std::vector<const char*> where;
  {
    std::vector<PString> all;
    for (int i = 0; i < kTexts; ++i) all.emplace_back("growth-" + std::to_string(i));
    EXPECT_EQ(Qel::PStringCache::Size(), base + kTexts);
    for (int i = 0; i < kTexts; i += 3) {
      kept.push_back(all[size_t(i)]);
      where.push_back(all[size_t(i)].Get());
    }
  }
  const size_t dropped = kTexts - kept.size();
  EXPECT_EQ(Qel::PStringCache::CollectAllGarbage(), dropped);
  EXPECT_EQ(Qel::PStringCache::Size(), base + kept.size());
  for (int i = 0; i < kTexts; ++i) {
    const std::string text = "growth-" + std::to_string(i);
    const PString again(text);
    EXPECT_EQ(again.View(), text);
    // A kept text is found in its old node; a collected one is made anew.
    if (i % 3 == 0) {
      EXPECT_EQ(again.Get(), where[size_t(i / 3)]) << text;
    }
    EXPECT_EQ(again.Hash(), PString(text).Hash());
  }
  // Growth collects on its own: short-lived texts never pile up far beyond the live ones.
  EXPECT_LE(Qel::PStringCache::CollectAllGarbage(), dropped);
  EXPECT_EQ(Qel::PStringCache::Size(), base + kept.size());
  for (int i = 0; i < 10 * kTexts; ++i) (void)PString("passing-" + std::to_string(i));
  EXPECT_LT(Qel::PStringCache::Size(), 4 * (base + kept.size()) + 2048);
}

// Handles made in batches, from reserved references and released through a releaser keep every
// node exactly as long as plain handles would.
TEST(PString, BatchedCountsKeepNodesUntilTheLastHandle) {
  Qel::PStringCache::CollectAllGarbage();
  const size_t base = Qel::PStringCache::Size();
  constexpr size_t kFresh = 1000;
  std::vector<std::string> texts;
  for (size_t i = 0; i < kFresh; ++i) texts.push_back("batch-" + std::to_string(i));
  texts.push_back("");
  texts.push_back("batch-0");
  texts.push_back("static-key");
  std::vector<std::string_view> views(texts.begin(), texts.end());
  std::vector<PString> out(views.size());
  PString::InternMany(views.data(), views.size(), out.data());
  EXPECT_EQ(Qel::PStringCache::Size(), base + kFresh);
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(out[i], PString(texts[i])) << texts[i];
  EXPECT_TRUE(out[kFresh].IsEmpty());
  EXPECT_EQ(out[kFresh + 2], kStaticKey);

  out[0].Reserve(5);
  std::vector<PString> taken;
  for (int i = 0; i < 3; ++i) taken.push_back(out[0].TakeReserved());
  out[0].ReleaseReserved(2);
  {
    std::vector<PString> copies;
    for (size_t i = 0; i < 500; ++i) copies.push_back(out[1 + i % 7]);
    for (size_t i = 1; i < 300; i += 2) copies.push_back(out[i]);
    // Handles in memory that goes without their destructors, as in a freed array.
    std::vector<PString> ending(copies.begin(), copies.begin() + 200);
    auto* raw = static_cast<PString*>(::operator new(sizeof(PString) * ending.size()));
    for (size_t i = 0; i < ending.size(); ++i) new (&raw[i]) PString(std::move(ending[i]));
    Qel::PStringReleaser releaser;
    for (PString& copy : copies) releaser.Release(copy);
    for (const PString& copy : copies) EXPECT_TRUE(copy.IsEmpty());
    for (size_t i = 0; i < ending.size(); ++i) releaser.ReleaseEnding(raw[i]);
    ::operator delete(raw);
  }
  EXPECT_EQ(Qel::PStringCache::CollectAllGarbage(), 0u);
  out.clear();
  // "batch-0" lives on in the handles taken from its reserve.
  EXPECT_EQ(Qel::PStringCache::CollectAllGarbage(), kFresh - 1);
  EXPECT_EQ(taken[2].View(), "batch-0");
  taken.clear();
  EXPECT_EQ(Qel::PStringCache::CollectAllGarbage(), 1u);
}

// A producer may count its handle's own reference among its reserve and give it out as well: what
// it drops at the end is exactly what it still holds.
TEST(PString, DroppingTheReserveLeavesOnlyTheHandlesGivenOut) {
  struct Case {
    u32 reserved;
    u32 taken;
  };
  for (const Case c : {Case{0, 0}, Case{0, 1}, Case{2, 3}, Case{3, 1}, Case{3, 4}}) {
    Qel::PStringCache::CollectAllGarbage();
    const std::string text = "reserve-" + std::to_string(c.reserved) + "-" + std::to_string(c.taken);
    std::vector<PString> taken;
    {
      // Interned with its reserve in one step, or reserved after.
      const std::string_view view(text);
      PString producer;
      PString::InternMany(&view, 1, &producer, c.reserved % 2 ? c.reserved : 0);
      if (c.reserved % 2 == 0) producer.Reserve(c.reserved);
      for (u32 i = 0; i < c.taken; ++i) taken.push_back(producer.TakeReserved());
      producer.DropReserved(1 + c.reserved - c.taken);
      EXPECT_TRUE(producer.IsEmpty());
    }
    EXPECT_EQ(Qel::PStringCache::CollectAllGarbage(), c.taken ? 0u : 1u) << text;
    for (const PString& handle : taken) EXPECT_EQ(handle.View(), text);
    const bool held = !taken.empty();
    taken.clear();
    EXPECT_EQ(Qel::PStringCache::CollectAllGarbage(), held ? 1u : 0u) << text;
  }
}

// The collection made at every pass of a loop walks the table only once a quarter of what the
// last collection left came in since; the exact one always does. Growth may collect on its own
// meanwhile, so a due collection is judged by what remains.
TEST(PString, RoutineCollectionWaitsForAQuarterOfTheTable) {
  struct Case {
    const char* name;
    size_t eighths;  // fresh texts dropped, in eighths of the table
    bool due;
  };
  const Case cases[] = {
      {"one-text-", 0, false},
      {"an-eighth-", 1, false},
      {"a-quarter-", 2, true},
      {"half-the-table-", 4, true},
  };
  // The table's own size decides what is due, so it must not depend on what else the program
  // happens to hold: these live texts give it a size of its own.
  std::vector<PString> held;
  for (int i = 0; i < 64; ++i) held.emplace_back("held-" + std::to_string(i));
  for (const Case& c : cases) {
    Qel::PStringCache::CollectAllGarbage();
    const size_t base = Qel::PStringCache::Size();
    ASSERT_GE(base, held.size());
    const size_t fresh = std::max<size_t>(1, base * c.eighths / 8 + (c.due ? 1 : 0));
    for (size_t i = 0; i < fresh; ++i) (void)PString(c.name + std::to_string(i));
    const size_t walked = Qel::PStringCache::CollectGarbage();
    if (c.due) {
      EXPECT_EQ(Qel::PStringCache::Size(), base) << c.name;
    } else {
      EXPECT_EQ(walked, 0u) << c.name;
    }
    Qel::PStringCache::CollectAllGarbage();
    EXPECT_EQ(Qel::PStringCache::Size(), base) << c.name;
  }
}

TEST(PString, InterningIsOneNodePerTextAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 200;
  std::vector<std::vector<const char*>> seen(kThreads);
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen, &done] {
      std::vector<PString> keep;
      for (int i = 0; i < kTexts; ++i) {
        keep.emplace_back(("shared-" + std::to_string(i)).c_str());
        seen[t].push_back(keep.back().Get());
        // Churn: short-lived copies and collections must not disturb live handles.
        PString copy = keep.back();
        if (i % 50 == 0) Qel::PStringCache::CollectGarbage();
      }
      for (int i = 0; i < kTexts; ++i) seen[t][i] = keep[i].Get();
      // Keep the handles alive until every thread has recorded its pointers.
      done++;
      while (done.load() < kThreads) std::this_thread::yield();
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
}

}  // namespace
