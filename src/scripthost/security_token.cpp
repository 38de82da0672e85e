#include "scripthost/security_token.h"

#include <algorithm>
#include <iterator>

#include "core/log_printf.h"
#include "gsruntime/gs_array.h"
#include "gsruntime/gs_stack.h"
#include "gsruntime/gs_string.h"
#include "pymclient/asset_spec_lookup.h"
#include "pymclient/pym_asset_info.h"
#include "scripthost/gso_kuid.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

namespace {

// The texts of the array's string elements; nulls and other objects are skipped.
TokenRights RightsFromArray(GSHandle reference) {
  TokenRights rights;
  const GSRuntime::GSArray* array = GSRuntime::GSArray::FromReference(reference);
  for (i32 i = 0; array != nullptr && i < array->size; ++i) {
    u32 element = 0;
    if (!array->GetElement(i, &element, false)) continue;
    if (const GSRuntime::GSString* text = GSRuntime::GSString::FromReference(element)) {
      rights.emplace(text->View());
    }
  }
  return rights;
}

const GSOSecurityToken* TokenParam(GSStack* stack, u32 index) {
  return GSRuntime::ObjectParam<GSOSecurityToken>(stack, index);
}

}  // namespace

namespace SecurityTokens {

TokenEntries Issue(const TokenIssuer& issuer, const KUID& owner, TokenRights rights) {
  TokenEntries entries;
  entries[issuer.Link()][owner] = std::move(rights);
  return entries;
}

void MergeInto(TokenEntries& into, const TokenEntries& from) {
  for (const auto& [issuer, owners] : from) {
    TokenOwners& target = into[issuer];
    for (const auto& [owner, rights] : owners) target[owner].insert(rights.begin(), rights.end());
  }
}

std::optional<TokenEntries> ReIssue(const TokenEntries& token, const TokenIssuer& caller,
                                    const KUID& newOwner, const TokenRights& requested) {
  if (requested.empty()) return std::nullopt;
  const KUID& callerKUID = caller.IssuerKUID();
  bool isDuplicator = false;
  TokenRights granted;
  // Whether the caller issued any entry does not depend on where the duplicator's entry falls in
  // the map (an order of addresses): the whole token is asked.
  const bool isIssuer = token.count(caller.Link()) != 0;
  for (const auto& [issuer, owners] : token) {
    const auto held = owners.find(callerKUID);
    if (held != owners.end() && held->second.count(kDuplicateTokenRight) != 0) {
      isDuplicator = true;
      std::set_intersection(requested.begin(), requested.end(), held->second.begin(),
                            held->second.end(), std::inserter(granted, granted.end()));
      break;
    }
  }
  if (!isIssuer && !isDuplicator) {
    LogPrintf("GSOSecurityToken::ReIssueToken> Unauthorised attempt made to re-issue security "
              "token (%s)",
              callerKUID.ToString().CStr());
    return std::nullopt;
  }
  TokenEntries copy = token;
  if (!isIssuer) {
    copy[caller.Link()][newOwner] = std::move(granted);
  } else if (!isDuplicator) {
    TokenOwners& own = copy[caller.Link()];
    const auto entry = own.find(callerKUID);
    if (entry != own.end()) {
      std::erase_if(entry->second,
                    [&](const std::string& right) { return requested.count(right) == 0; });
    }
  }
  return copy;
}

const TokenIssuer* FindIssuerByKUID(const TokenEntries& token, const KUID& kuid) {
  for (const auto& [link, owners] : token) {
    if (link->issuer != nullptr && link->kuid == kuid) return link->issuer;
  }
  return nullptr;
}

bool HasRight(const TokenEntries& token, const TokenIssuer* issuer, const KUID& owner,
              const std::string& right) {
  if (issuer == nullptr) return false;
  const auto entry = token.find(issuer->Link());
  if (entry == token.end()) return false;
  const auto rights = entry->second.find(owner);
  return rights != entry->second.end() && rights->second.count(right) != 0;
}

}  // namespace SecurityTokens

TokenIssuer::TokenIssuer(const KUID& kuid)
    : link_(std::make_shared<TokenIssuerLink>(TokenIssuerLink{this, kuid})) {}

TokenIssuer::~TokenIssuer() { link_->issuer = nullptr; }

bool TokenIssuer::RefusedWithoutIssuer(GSStack* stack) const {
  if (MayIssueTokens()) return false;
  // Null is also false: one value serves the token natives and the validations alike.
  stack->PushInt(0);
  return true;
}

GSRuntime::GSContext* TokenIssuer::OwnerContext() const {
  return GSRuntime::CallingContext(dynamic_cast<const GSRuntime::GSObject*>(this));
}

void TokenIssuer::IssueSecurityToken(GSStack* stack) {
  if (RefusedWithoutIssuer(stack)) return;
  const GSOKUID* owner = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &owner, false)) return;
  if (GSRuntime::ParamWord(stack, 2) == 0) {
    GSRuntime::ObjectParamError(2, true);
    return;
  }
  GSRuntime::PushCounted(
      stack, GSOSecurityToken::New(OwnerContext(),
                                   SecurityTokens::Issue(*this, *owner,
                                                         RightsFromArray(GSRuntime::ParamWord(
                                                             stack, 2)))));
}

void TokenIssuer::ReIssueSecurityToken(GSStack* stack) {
  if (RefusedWithoutIssuer(stack)) return;
  const GSOSecurityToken* token = nullptr;
  const GSOKUID* owner = nullptr;
  if (!GSRuntime::GetParam(stack, 1, &token, false) ||
      !GSRuntime::GetParam(stack, 2, &owner, false)) {
    return;
  }
  if (GSRuntime::ParamWord(stack, 3) == 0) {
    GSRuntime::ObjectParamError(3, true);
    return;
  }
  std::optional<TokenEntries> copy = SecurityTokens::ReIssue(
      token->Entries(), *this, *owner, RightsFromArray(GSRuntime::ParamWord(stack, 3)));
  GSRuntime::PushCounted(stack, copy ? GSOSecurityToken::New(OwnerContext(), std::move(*copy))
                                     : 0);
}

void TokenIssuer::MergeSecurityTokens(GSStack* stack) {
  if (RefusedWithoutIssuer(stack)) return;
  const GSRuntime::GSArray* array =
      GSRuntime::GSArray::FromReference(GSRuntime::ParamWord(stack, 1));
  if (array == nullptr) {
    GSRuntime::ObjectParamError(1, GSRuntime::ParamWord(stack, 1) == 0);
    return;
  }
  std::optional<TokenEntries> merged;
  for (i32 i = 0; i < array->size; ++i) {
    u32 element = 0;
    if (!array->GetElement(i, &element, false) || element == 0) continue;
    const auto* token =
        dynamic_cast<const GSOSecurityToken*>(GSRuntime::GSObjectReference::FromReference(element));
    if (token == nullptr) continue;
    if (merged) {
      SecurityTokens::MergeInto(*merged, token->Entries());
    } else {
      merged = token->Entries();
    }
  }
  GSRuntime::PushCounted(stack,
                         merged ? GSOSecurityToken::New(OwnerContext(), std::move(*merged)) : 0);
}

void TokenIssuer::ValidateForObject(GSStack* stack) {
  if (RefusedWithoutIssuer(stack)) return;
  const GSOSecurityToken* token = nullptr;
  const TokenIssuer* issuer = nullptr;
  Qel::String right;
  if (!GSRuntime::GetParam(stack, 1, &token, false) ||
      !GSRuntime::GetParam(stack, 2, &issuer, false) ||
      !GSRuntime::GetParam(stack, 3, &right, false)) {
    return;
  }
  stack->PushInt(SecurityTokens::HasRight(token->Entries(), issuer, IssuerKUID(),
                                          std::string(right.View()))
                     ? 1
                     : 0);
}

void TokenIssuer::ValidateForKUID(GSStack* stack) {
  if (RefusedWithoutIssuer(stack)) return;
  const GSOSecurityToken* token = TokenParam(stack, 1);
  const GSOKUID* kuid = GSRuntime::ObjectParam<GSOKUID>(stack, 2);
  Qel::String right;
  GSRuntime::GetParam(stack, 3, &right, true);
  const TokenIssuer* issuer =
      token != nullptr && kuid != nullptr ? SecurityTokens::FindIssuerByKUID(token->Entries(), *kuid)
                                          : nullptr;
  stack->PushInt(token != nullptr &&
                         SecurityTokens::HasRight(token->Entries(), issuer, IssuerKUID(),
                                                  std::string(right.View()))
                     ? 1
                     : 0);
}

GSHandle GSOSecurityToken::New(GSRuntime::GSContext* owner, TokenEntries entries) {
  return ScriptHost::BindNewObject(new GSOSecurityToken(std::move(entries)),
                                   ScriptHost::ScriptClassId::kSecurityToken, owner);
}

void GSOSecurityToken::IsOwnerLocallyModified(GSStack* stack) {
  std::set<KUID> asked;
  for (const auto& [issuer, owners] : entries_) {
    for (const auto& [owner, rights] : owners) {
      if (!asked.insert(owner).second) continue;
      // An owner without a `KestroBaseSpec` (not installed, or not a scripted asset) counts as
      // unmodified: the database's answer for it would be the failed request's, not its state.
      SpecPointer spec;
      FindKestroBaseSpec(spec, owner);
      if (spec && IsAssetLocallyModified(owner)) {
        stack->PushInt(1);
        return;
      }
    }
  }
  stack->PushInt(0);
}
