// Feeds arbitrary bytes to the stand-in repository as a peer's request head, in the pieces a
// socket might deliver, and answers a search over a small fixed index with dependency cycles.
// A package or banner name must stay inside the repository folder, and every text the server
// percent-encodes must decode back to itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vnyrepo/repository_answer.h"
#include "vnyrepo/repository_request.h"

namespace {

using PymDaemonSrv::RepositoryAsset;

RepositoryAsset Offer(const KUID& kuid, const char* package, std::vector<KUID> dependencies) {
  RepositoryAsset asset;
  asset.kuid = kuid;
  asset.package = package;
  asset.packageSize = 1000;
  asset.name = package;
  asset.dependencies = std::move(dependencies);
  return asset;
}

const std::vector<RepositoryAsset>& Index() {
  static const std::vector<RepositoryAsset> index = {
      Offer(KUID(1, 1, 0), "a.cdp", {KUID(1, 2, 0), KUID(1, 1, 0)}),
      Offer(KUID(1, 2, 3), "b c%.cdp", {KUID(1, 1, 0), KUID(1, 3, 0), KUID(-5, 7, 0)}),
      Offer(KUID(1, 3, 0), "\"quoted\".cdp", {KUID(1, 2, 0)}),
      Offer(KUID(-5, 7, 1), "x", {}),
  };
  return index;
}

bool FindNewest(const KUID& kuid, RepositoryAsset& out) {
  bool found = false;
  for (const RepositoryAsset& asset : Index()) {
    if (asset.kuid.userId == kuid.userId && asset.kuid.contentId == kuid.contentId &&
        (!found || asset.kuid.version > out.kuid.version)) {
      out = asset;
      found = true;
    }
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sizes the pieces the head arrives in, as the server's receive buffer would.
  const size_t piece = size_t(data[0]) * 8 + 1;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string head;
  VnyRepo::RequestHeadState state = VnyRepo::CheckRequestHead(head);
  for (size_t at = 0; state == VnyRepo::RequestHeadState::kIncomplete && at < bytes.size();
       at += piece) {
    head += bytes.substr(at, piece);
    state = VnyRepo::CheckRequestHead(head);
  }
  if (state == VnyRepo::RequestHeadState::kTooLarge &&
      head.size() > VnyRepo::kMaxRequestHead + piece)
    std::abort();

  const VnyRepo::RepositoryRequest request = VnyRepo::ParseRequestHead(head);
  using Kind = VnyRepo::RepositoryRequest::Kind;
  if (request.kind == Kind::kPackage || request.kind == Kind::kBanner) {
    if (request.name.empty() || request.name[0] == '.' ||
        request.name.find('/') != std::string::npos ||
        request.name.find('\0') != std::string::npos) {
      std::abort();
    }
    std::string back;
    if (!VnyRepo::PercentDecode(VnyRepo::PercentEncode(request.name), back) ||
        back != request.name) {
      std::abort();
    }
  }
  if (request.kind == Kind::kSearch) {
    const std::string answer = VnyRepo::BuildSearchAnswer(
        &FindNewest, request.criteria, request.dependencyLevel, "http://127.0.0.1:1");
    if (answer.empty()) std::abort();
  }
  return 0;
}
