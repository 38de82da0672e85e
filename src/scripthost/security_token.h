// The script class "SecurityToken": rights over assets (owners, by KUID) that game objects
// (issuers) grant. A token is immutable: issuing, merging and re-issuing always make a new one.
//
// A token names each issuer through the issuer's link: a small shared record holding the
// issuer's asset KUID beside a pointer that the issuer clears when it ends. Tokens keep the link
// alive, so an issuer that is gone is never read, and its identity is never taken over by a new
// object that happens to reuse its address.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/kuid.h"
#include "gsruntime/gs_object.h"

namespace GSRuntime {
class GSContext;
class GSStack;
}  // namespace GSRuntime

class TokenIssuer;

// What a token knows of one issuer.
struct TokenIssuerLink {
  TokenIssuer* issuer;  // null once the issuer has ended
  KUID kuid;            // the issuer's asset
};

using TokenRights = std::set<std::string>;  // exact, case-sensitive texts
using TokenOwners = std::map<KUID, TokenRights>;
// Ordered by the link's address, which identifies the issuer for as long as any token names it.
using TokenEntries = std::map<std::shared_ptr<TokenIssuerLink>, TokenOwners>;

// The right that lets its holder re-issue a token.
inline constexpr const char* kDuplicateTokenRight = "duplicate-token";

// An object that issues tokens and checks them: the native object of a "KestroGameObject" derives
// from it (beside GSRuntime::GSObject), so that the class's token natives reach it.
class TokenIssuer {
 public:
  explicit TokenIssuer(const KUID& kuid = KUID());
  virtual ~TokenIssuer();
  TokenIssuer(const TokenIssuer&) = delete;
  TokenIssuer& operator=(const TokenIssuer&) = delete;

  const KUID& IssuerKUID() const { return link_->kuid; }
  void SetIssuerKUID(const KUID& kuid) { link_->kuid = kuid; }
  const std::shared_ptr<TokenIssuerLink>& Link() const { return link_; }
  // Whether the object may issue and check tokens now; when not, every token native answers null
  // or false.
  virtual bool MayIssueTokens() const { return true; }

  // The natives of "KestroGameObject" that issue, merge and validate tokens.
  void IssueSecurityToken(GSRuntime::GSStack* stack);
  void ReIssueSecurityToken(GSRuntime::GSStack* stack);
  void MergeSecurityTokens(GSRuntime::GSStack* stack);
  void ValidateForObject(GSRuntime::GSStack* stack);
  void ValidateForKUID(GSRuntime::GSStack* stack);

 private:
  // Pushes the answer of an object that may not issue tokens; false when it may.
  bool RefusedWithoutIssuer(GSRuntime::GSStack* stack) const;
  // The context the object's new tokens belong to.
  GSRuntime::GSContext* OwnerContext() const;

  std::shared_ptr<TokenIssuerLink> link_;
};

// The operations on entry tables, apart from script objects.
namespace SecurityTokens {

TokenEntries Issue(const TokenIssuer& issuer, const KUID& owner, TokenRights rights);
// Adds every entry of `from` to `into`: whole owner tables for new issuers, the union of rights
// for owners both have.
void MergeInto(TokenEntries& into, const TokenEntries& from);
// A re-issue by `caller`; nothing when the request is empty or the caller may not re-issue (the
// latter logs a line).
std::optional<TokenEntries> ReIssue(const TokenEntries& token, const TokenIssuer& caller,
                                    const KUID& newOwner, const TokenRights& requested);
// The first live issuer, in map order, whose asset is `kuid`; null when none is known.
const TokenIssuer* FindIssuerByKUID(const TokenEntries& token, const KUID& kuid);
bool HasRight(const TokenEntries& token, const TokenIssuer* issuer, const KUID& owner,
              const std::string& right);

}  // namespace SecurityTokens

class GSOSecurityToken : public GSRuntime::GSObject {
 public:
  // A new token in `owner` holding the entries; its instance's reference, counted for the
  // caller, or 0 when it cannot be made.
  static GSRuntime::GSHandle New(GSRuntime::GSContext* owner, TokenEntries entries);

  const TokenEntries& Entries() const { return entries_; }

  void IsOwnerLocallyModified(GSRuntime::GSStack* stack);

 private:
  explicit GSOSecurityToken(TokenEntries entries) : entries_(std::move(entries)) {}

  TokenEntries entries_;
};
