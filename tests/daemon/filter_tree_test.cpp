#include "daemon/filter_tree.h"

#include <gtest/gtest.h>

#include "daemon/daemon_test_util.h"

namespace PymDaemonSrv {
namespace {

using namespace daemon_test;

FilterParseResult Parse(const std::vector<u8>& bytes) {
  return ParseFilterPayload(bytes.data(), bytes.size());
}

// The evaluator's tests check what each element means; here the forms only the parser sees.
TEST(FilterTree, NoFilterAndTheNulTerminatedTextForm) {
  FilterParseResult none = Parse(Bytes().U32(0).data);
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.root, nullptr);
  // The NUL-terminated string form reads as the same text; any non-zero flag byte is set.
  std::vector<u8> nul = Bytes().U32(FourCC("strn")).U32(3).U32(4).data;
  nul.insert(nul.end(), {u8('a'), u8('b'), u8('c'), 0, 7});
  const FilterParseResult text = Parse(nul);
  ASSERT_TRUE(text.ok) << text.error;
  EXPECT_EQ(text.root->Text(text.root->Root()), "abc");
  EXPECT_TRUE(text.root->Root().Has(FilterNode::kExact));
  // Asset sets are sorted and lose repeats.
  const FilterParseResult ids = Parse(Ids(0, {KUID(7, 8, 2), KUID(1, 2, 0), KUID(7, 8, 2)}));
  ASSERT_TRUE(ids.ok) << ids.error;
  const FilterNode& set = ids.root->Root();
  EXPECT_EQ(std::vector<KUID>(ids.root->AssetsBegin(set), ids.root->AssetsEnd(set)),
            (std::vector<KUID>{KUID(1, 2, 0), KUID(7, 8, 2)}));
}

TEST(FilterTree, RefusesHostileBytes) {
  const std::vector<u8> valid =
      Group(true, false, {Str(1, "TR;LOC"), Ids(0, {KUID(1, 2, 3)}), Time(0, 1, 2, true, true)});
  // Every proper prefix is truncated somewhere.
  for (size_t n = 0; n < valid.size(); ++n) {
    EXPECT_FALSE(Parse(std::vector<u8>(valid.begin(), valid.begin() + long(n))).ok) << n;
  }
  const struct {
    const char* what;
    std::vector<u8> bytes;
  } cases[] = {
      {"unknown tag", Bytes().U32(FourCC("junk")).U32(0).data},
      {"unknown child tag", Group(true, false, {Flag(1), Bytes().U32(7).data})},
      {"trailing bytes", Bytes().Append(Flag(1)).U8(0).data},
      {"group count beyond the bytes", Bytes().U32(FourCC("grup")).U8(1).U8(0).U32(~0u).data},
      {"asset count beyond the bytes", Bytes().U32(FourCC("asst")).U32(0).U32(1u << 30).data},
      {"text longer than the limit", Bytes().U32(FourCC("strn")).U32(0).U32(70000).data},
      {"text length beyond the bytes", Bytes().U32(FourCC("strn")).U32(0).U32(9).U32(0).data},
  };
  for (const auto& c : cases) {
    const FilterParseResult r = Parse(c.bytes);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_FALSE(r.error.empty()) << c.what;
  }
}

TEST(FilterTree, TermAndNestingLimits) {
  // A group of n bool terms is n + 1 elements.
  auto terms = [](u32 n) {
    Bytes b;
    b.U32(FourCC("grup")).U8(1).U8(0).U32(n);
    for (u32 i = 0; i < n; ++i) b.Append(Flag(i % 32));
    return b.data;
  };
  const FilterParseResult most = Parse(terms(kMaxFilterTerms - 1));
  ASSERT_TRUE(most.ok) << most.error;
  EXPECT_EQ(most.root->NodeCount(), kMaxFilterTerms);
  const FilterParseResult over = Parse(terms(kMaxFilterTerms));
  EXPECT_FALSE(over.ok);
  EXPECT_NE(over.error.find("too many terms"), std::string::npos);

  auto nested = [](u32 depth) {
    std::vector<u8> bytes = Group(true, false, {});
    for (u32 i = 1; i < depth; ++i) bytes = Group(true, false, {bytes});
    return bytes;
  };
  EXPECT_TRUE(Parse(nested(1000)).ok);
  const FilterParseResult deep = Parse(nested(1001));
  EXPECT_FALSE(deep.ok);
  EXPECT_NE(deep.error.find("nested"), std::string::npos);
}

}  // namespace
}  // namespace PymDaemonSrv
