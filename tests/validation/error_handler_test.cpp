// The finding collector: which findings count as repeats, and which records a destroyed tag or
// container takes with it.
#include "validation/error_handler.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using TETLib::Container;
using TETLib::ErrorHandler;
using TETLib::ErrorRecord;
using TETLib::Tag;

// Owners are identities only, so any distinct addresses serve.
const auto* const kContainerA = reinterpret_cast<const Container*>(0x1000);
const auto* const kContainerB = reinterpret_cast<const Container*>(0x2000);
const auto* const kTagA = reinterpret_cast<const Tag*>(0x3000);
const auto* const kTagB = reinterpret_cast<const Tag*>(0x4000);

// Who a finding belongs to: a container, a tag, or nobody (the key-only form).
struct Form {
  const Container* container = nullptr;
  const Tag* tag = nullptr;
};
const Form kOnContainerA{kContainerA, nullptr};
const Form kOnContainerB{kContainerB, nullptr};
const Form kOnTagA{nullptr, kTagA};
const Form kOnTagB{nullptr, kTagB};
const Form kKeyOnly{};

bool Add(ErrorHandler& h, bool error, const Form& form, const char* key) {
  if (form.container)
    return error ? h.AddError(key, form.container) : h.AddWarning(key, form.container);
  if (form.tag) return error ? h.AddError(key, form.tag) : h.AddWarning(key, form.tag);
  return error ? h.AddError(key) : h.AddWarning(key);
}

TEST(ErrorHandler, ASecondFindingIsARepeatOnlyForTheSameOwnerAndKey) {
  const struct {
    const char* name;
    Form first;
    const char* firstKey;
    Form second;
    const char* secondKey;
    bool secondAdded;
  } cases[] = {
      {"same container, same key", kOnContainerA, "$k", kOnContainerA, "$k", false},
      {"same container, other key", kOnContainerA, "$k", kOnContainerA, "$j", true},
      {"two containers", kOnContainerA, "$k", kOnContainerB, "$k", true},
      {"two tags", kOnTagA, "$k", kOnTagB, "$k", true},
      {"same tag", kOnTagA, "$k", kOnTagA, "$k", false},
      {"key only after a tag finding", kOnTagA, "$k", kKeyOnly, "$k", false},
      {"key only after a container finding", kOnContainerA, "$k", kKeyOnly, "$k", false},
      {"container after a tag finding", kOnTagA, "$k", kOnContainerA, "$k", true},
      {"key only twice", kKeyOnly, "$k", kKeyOnly, "$k", false},
      {"tag after a key-only finding", kKeyOnly, "$k", kOnTagA, "$k", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorHandler handler;
    EXPECT_TRUE(Add(handler, true, c.first, c.firstKey));
    // Severity plays no part: an error followed by a warning of the same owner and key is one.
    EXPECT_EQ(Add(handler, false, c.second, c.secondKey), c.secondAdded);
    ASSERT_EQ(handler.GetRecords().size(), c.secondAdded ? 2u : 1u);
    EXPECT_EQ(handler.GetRecords()[0]->severity, ErrorRecord::kError);
  }
}

TEST(ErrorHandler, ANullContainerMatchesEveryRecordWithoutOne) {
  ErrorHandler handler;
  EXPECT_TRUE(handler.AddMessage("$k", kTagA));
  // The tag record has no container, so a null container matches it; it has a tag, so a null
  // tag does not.
  EXPECT_FALSE(handler.AddError("$k", static_cast<const Container*>(nullptr)));
  EXPECT_TRUE(handler.AddError("$k", static_cast<const Tag*>(nullptr)));
  EXPECT_EQ(handler.GetRecords().size(), 2u);
}

TEST(ErrorHandler, RecordsKeepOrderOwnerAndSeverityUntilCleared) {
  ErrorHandler handler;
  handler.AddError("$a", kContainerA);
  handler.AddWarning("$b", kTagB);
  handler.AddMessage("$c");
  const auto& records = handler.GetRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]->container, kContainerA);
  EXPECT_EQ(records[0]->tag, nullptr);
  EXPECT_EQ(records[1]->tag, kTagB);
  EXPECT_EQ(records[1]->container, nullptr);
  EXPECT_EQ(records[1]->severity, ErrorRecord::kWarning);
  EXPECT_EQ(records[2]->severity, ErrorRecord::kMessage);
  EXPECT_FALSE(handler.IsKeyUnused("$c"));
  EXPECT_TRUE(handler.IsKeyUnused("$d"));
  EXPECT_TRUE(handler.TraceContainer("x", nullptr));
  EXPECT_EQ(records.size(), 3u);

  handler.ClearRecords();
  EXPECT_TRUE(handler.GetRecords().empty());
  for (const char* key : {"$a", "$b", "$c"}) EXPECT_TRUE(handler.IsKeyUnused(key));
}

TEST(ErrorHandler, ADestroyedOwnerTakesOnlyItsFirstRecord) {
  ErrorHandler handler;
  handler.AddError("$one", kTagA);
  handler.AddError("$one", kContainerA);
  handler.AddWarning("$two", kTagA);
  handler.AddError("$two", kContainerA);

  handler.RemoveTagRecord(kTagA);
  ASSERT_EQ(handler.GetRecords().size(), 3u);
  EXPECT_EQ(handler.GetRecords()[0]->container, kContainerA);
  EXPECT_EQ(handler.GetRecords()[1]->tag, kTagA);
  EXPECT_EQ(handler.GetRecords()[1]->key, Qel::PString("$two"));

  handler.RemoveContainerRecord(kContainerA);
  ASSERT_EQ(handler.GetRecords().size(), 2u);
  EXPECT_EQ(handler.GetRecords()[0]->tag, kTagA);
  EXPECT_EQ(handler.GetRecords()[1]->key, Qel::PString("$two"));

  // A null owner removes nothing, even though key-only records have none.
  handler.AddError("$three");
  handler.RemoveTagRecord(nullptr);
  handler.RemoveContainerRecord(nullptr);
  EXPECT_EQ(handler.GetRecords().size(), 3u);

  // What the owners took with them is no repeat any more; what they left still is.
  EXPECT_TRUE(handler.IsKeyUnused("$one"));
  EXPECT_TRUE(handler.AddError("$one", kTagA));
  EXPECT_FALSE(handler.AddError("$two", kTagA));
  EXPECT_FALSE(handler.AddError("$two"));
}

// Many owners share the few bits that tell whether one may have a record: a record is found
// under every owner that has one, whichever others share its bit, and none is taken from an
// owner that never had one; emptying the list forgets them all.
TEST(ErrorHandler, OwnersThatShareAFilterBitKeepTheirOwnRecords) {
  ErrorHandler handler;
  std::vector<char> owners(4096);
  const auto tag = [&](size_t i) { return reinterpret_cast<const Tag*>(&owners[i]); };
  const auto container = [&](size_t i) { return reinterpret_cast<const Container*>(&owners[i]); };
  for (size_t i = 0; i + 1 < owners.size(); i += 3) {
    handler.AddError("$t", tag(i));
    handler.AddWarning("$c", container(i + 1));
  }
  const size_t held = handler.GetRecords().size();
  for (size_t i = 0; i < owners.size(); ++i) {
    handler.RemoveTagRecord(tag(i));
    handler.RemoveContainerRecord(container(i));
  }
  EXPECT_TRUE(handler.GetRecords().empty()) << held;

  handler.AddError("$t", tag(0));
  handler.ClearRecords();
  handler.AddError("$kept");
  handler.RemoveTagRecord(tag(0));
  EXPECT_EQ(handler.GetRecords().size(), 1u);
}

TEST(ErrorHandler, TheProcessInstanceComesAndGoes) {
  ErrorHandler::DestroyInstance();
  EXPECT_EQ(ErrorHandler::Instance(), nullptr);
  EXPECT_TRUE(ErrorHandler::CreateInstance());
  ErrorHandler* first = ErrorHandler::Instance();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(ErrorHandler::CreateInstance());
  EXPECT_EQ(ErrorHandler::Instance(), first);
  first->AddError("$left behind");
  ErrorHandler::DestroyInstance();
  EXPECT_EQ(ErrorHandler::Instance(), nullptr);
  ErrorHandler::DestroyInstance();
}

}  // namespace
