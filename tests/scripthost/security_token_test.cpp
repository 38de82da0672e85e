#include "scripthost/security_token.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/scratch_folder.h"

namespace {

using SecurityTokens::FindIssuerByKUID;
using SecurityTokens::HasRight;
using SecurityTokens::Issue;
using SecurityTokens::MergeInto;
using SecurityTokens::ReIssue;

const KUID kAlice(10, 1, 0);
const KUID kBob(20, 2, 0);
const KUID kCarol(30, 3, 0);
const KUID kAsset(40, 4, 0);

class SecurityTokenTest : public testing::Test {
 protected:
  TokenIssuer alice_{kAlice};
  TokenIssuer bob_{kBob};
  TokenIssuer carol_{kCarol};
};

TEST_F(SecurityTokenTest, HasRightNeedsTheIssuerTheOwnerAndTheExactText) {
  const TokenEntries token = Issue(alice_, kBob, {"drive", "paint"});
  EXPECT_TRUE(HasRight(token, &alice_, kBob, "drive"));
  EXPECT_FALSE(HasRight(token, &alice_, kBob, "Drive"));
  EXPECT_FALSE(HasRight(token, &bob_, kBob, "drive"));
  EXPECT_FALSE(HasRight(token, &alice_, kCarol, "drive"));
  EXPECT_FALSE(HasRight(token, nullptr, kBob, "drive"));
  EXPECT_EQ(FindIssuerByKUID(token, kAlice), &alice_);
  EXPECT_EQ(FindIssuerByKUID(token, kBob), nullptr);
}

TEST_F(SecurityTokenTest, MergeCopiesNewIssuersAndUnitesRightsOfTheSameOwner) {
  TokenEntries merged = Issue(alice_, kBob, {"drive"});
  MergeInto(merged, Issue(alice_, kBob, {"paint"}));
  MergeInto(merged, Issue(alice_, kCarol, {"sell"}));
  MergeInto(merged, Issue(bob_, kCarol, {"buy"}));
  EXPECT_EQ(merged.at(alice_.Link()).at(kBob), (TokenRights{"drive", "paint"}));
  EXPECT_EQ(merged.at(alice_.Link()).at(kCarol), (TokenRights{"sell"}));
  EXPECT_EQ(merged.at(bob_.Link()).at(kCarol), (TokenRights{"buy"}));
  EXPECT_EQ(merged.size(), 2u);
}

struct ReIssueCase {
  const char* name;
  TokenRights held;       // what alice granted bob
  TokenRights requested;  // what bob asks to pass on to carol
  bool made;
  TokenRights granted;    // carol's rights under bob in the new token
  bool logged;
};

TEST_F(SecurityTokenTest, ReIssueByAHolderGrantsOnlyTheIntersection) {
  const ReIssueCase cases[] = {
      {"intersection", {"duplicate-token", "drive"}, {"drive", "fly"}, true, {"drive"}, false},
      {"nothing asked", {"duplicate-token", "drive"}, {}, false, {}, false},
      {"other capitals", {"Duplicate-Token", "drive"}, {"drive"}, false, {}, true},
      {"no duplicate right", {"drive"}, {"drive"}, false, {}, true},
  };
  for (const ReIssueCase& c : cases) {
    const TokenEntries token = Issue(alice_, kBob, c.held);
    std::optional<TokenEntries> copy;
    const std::string log =
        scratch::CaptureLog([&] { copy = ReIssue(token, bob_, kCarol, c.requested); });
    ASSERT_EQ(copy.has_value(), c.made) << c.name;
    EXPECT_EQ(log.find("Unauthorised attempt made to re-issue security token (") !=
                  std::string::npos,
              c.logged)
        << c.name << ": " << log;
    if (!copy) continue;
    EXPECT_EQ(copy->at(bob_.Link()).at(kCarol), c.granted) << c.name;
    EXPECT_EQ(copy->at(alice_.Link()), token.at(alice_.Link())) << c.name;
  }
}

TEST_F(SecurityTokenTest, ReIssueByTheIssuerNarrowsItsOwnEntryOrKeepsAllAsDuplicator) {
  // An issuer that is no duplicator: its entry for its own KUID keeps only what was asked.
  TokenEntries token = Issue(alice_, kAlice, {"drive", "paint"});
  std::optional<TokenEntries> narrowed = ReIssue(token, alice_, kCarol, {"drive"});
  ASSERT_TRUE(narrowed);
  EXPECT_EQ(narrowed->at(alice_.Link()).at(kAlice), (TokenRights{"drive"}));
  EXPECT_EQ(narrowed->at(alice_.Link()).count(kCarol), 0u);
  // Issuer and duplicator: an unchanged copy, whatever the order of the entries.
  MergeInto(token, Issue(bob_, kAlice, {"duplicate-token"}));
  std::optional<TokenEntries> same = ReIssue(token, alice_, kCarol, {"drive"});
  ASSERT_TRUE(same);
  EXPECT_EQ(*same, token);
}

// A token outlives its issuer: the gone issuer is unknown from then on, and a new issuer of the
// same asset (perhaps at the same address) is another issuer. Under ASan a read of the freed
// issuer fails the test.
TEST_F(SecurityTokenTest, ATokenOfAGoneIssuerValidatesAsForAnUnknownIssuer) {
  auto issuer = std::make_unique<TokenIssuer>(kAsset);
  TokenEntries token = Issue(*issuer, kBob, {"drive", "duplicate-token"});
  MergeInto(token, Issue(alice_, kBob, {"paint"}));
  issuer.reset();
  EXPECT_EQ(FindIssuerByKUID(token, kAsset), nullptr);
  EXPECT_EQ(FindIssuerByKUID(token, kAlice), &alice_);
  auto successor = std::make_unique<TokenIssuer>(kAsset);
  EXPECT_EQ(FindIssuerByKUID(token, kAsset), nullptr);
  EXPECT_FALSE(HasRight(token, successor.get(), kBob, "drive"));
  // The grant it made still lets its holder pass rights on, under the holder's own name.
  std::optional<TokenEntries> copy = ReIssue(token, bob_, kCarol, {"drive"});
  ASSERT_TRUE(copy);
  EXPECT_TRUE(HasRight(*copy, &bob_, kCarol, "drive"));
}

}  // namespace
