// The repository's answer to a search: a text soup with one container per offered item ("0",
// "1", ...), the asked asset first and then its dependencies, level by level; or "none".
#pragma once

#include <functional>
#include <string>

#include "daemon/repository_index.h"

namespace VnyRepo {

// Levels of dependencies followed at most, whatever the query asks.
inline constexpr int kMaxDependencyLevel = 16;
// Items of one answer at most.
inline constexpr size_t kMaxAnswerItems = 4096;

// The newest version offered of the asset's user and content id; false when none is.
using FindNewestOffer = std::function<bool(const KUID& kuid, PymDaemonSrv::RepositoryAsset& out)>;

// `criteria` is "user:content" or "user:content:version"; package and banner URLs begin with
// `base` ("http://127.0.0.1:<port>").
std::string BuildSearchAnswer(const FindNewestOffer& findNewest, const std::string& criteria,
                              int dependencyLevel, const std::string& base);

// %XX for every byte but letters, digits and "-._~", and back; decoding fails (false) on a
// malformed escape or an escaped NUL.
std::string PercentEncode(const std::string& text);
bool PercentDecode(const std::string& text, std::string& out);

}  // namespace VnyRepo
