#include "repository_answer.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <set>
#include <utility>

#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "qel/dynamic_buffer.h"

namespace VnyRepo {

namespace {

KUID ParseCriteria(const std::string& criteria) {
  size_t colons = 0;
  for (const char c : criteria) colons += c == ':' ? 1 : 0;
  const std::string text = colons == 2   ? "<kuid2:" + criteria + ">"
                           : colons == 1 ? "<kuid:" + criteria + ">"
                                         : "";
  return KUID::Parse(text.c_str(), true);
}

std::string BannerName(const std::string& package) {
  return package.substr(0, package.size() - 4) + ".jpg";
}

}  // namespace

std::string BuildSearchAnswer(const FindNewestOffer& findNewest, const std::string& criteria,
                              int dependencyLevel, const std::string& base) {
  const int levels = std::clamp(dependencyLevel, 0, kMaxDependencyLevel);
  Soup answer;
  answer.EnsureContainer();
  std::deque<std::pair<KUID, int>> queue;
  const KUID asked = ParseCriteria(criteria);
  if (!asked.IsNull()) queue.emplace_back(asked, 0);
  std::set<std::pair<i32, i32>> seen;
  u32 items = 0;
  while (!queue.empty() && items < kMaxAnswerItems) {
    const auto [required, level] = queue.front();
    queue.pop_front();
    PymDaemonSrv::RepositoryAsset offered;
    if (!seen.insert({required.userId, required.contentId}).second ||
        !findNewest(required, offered)) {
      continue;
    }
    Soup item;
    item.EnsureContainer();
    item.SetNamedKUID("requires", required);
    item.SetNamedKUID("latest-version", offered.kuid);
    item.SetNamedInt("latest-version-size", i32(std::min<u64>(offered.packageSize, 0x7FFFFFFF)));
    item.SetNamedTag("latest-version-path",
                     Qel::PString((base + "/packages/" + PercentEncode(offered.package)).c_str()));
    item.SetNamedTag(
        "banner-uri",
        Qel::PString((base + "/banners/" + PercentEncode(BannerName(offered.package))).c_str()));
    item.SetNamedTag("result", "found");
    item.SetNamedTag("asset-name", Qel::PString(offered.name.c_str()));
    answer.SetNamedSoup(Qel::PString(std::to_string(items++).c_str()), item);
    if (level < levels) {
      for (const KUID& dependency : offered.dependencies) queue.emplace_back(dependency, level + 1);
    }
  }
  if (items == 0) answer.SetNamedTag("none", "none");
  Qel::DynamicBuffer bytes;
  TBuffer out(&bytes, false);
  WriteSoupText(out, answer);
  return std::string(reinterpret_cast<const char*>(bytes.GetData()), bytes.GetDataSize());
}

std::string PercentEncode(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const std::string hex = text.substr(i + 1, 2);
    if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
      return false;
    }
    const char c = char(std::stoi(hex, nullptr, 16));
    if (c == '\0') return false;
    out += c;
    i += 2;
  }
  return true;
}

}  // namespace VnyRepo
