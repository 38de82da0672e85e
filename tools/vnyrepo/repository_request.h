// What a peer of the stand-in repository asks for, read from the head of its HTTP request: the
// search (its criteria and dependency level), a package or banner by file name, or nothing served.
#pragma once

#include <string>

namespace VnyRepo {

inline constexpr size_t kMaxRequestHead = 8192;
inline constexpr const char* kSearchPath = "/kestro/VNYT_Search_Text.php";

enum class RequestHeadState { kIncomplete, kComplete, kTooLarge };

// Whether the bytes received so far hold the whole head (up to the blank line), or cannot any
// more without passing the size limit.
RequestHeadState CheckRequestHead(const std::string& head);

struct RepositoryRequest {
  enum class Kind { kBadRequest, kNotFound, kSearch, kPackage, kBanner };
  Kind kind = Kind::kBadRequest;
  // The request line, for the log.
  std::string line;
  // Of a search.
  std::string criteria;
  int dependencyLevel = 0;
  // Of a package or banner: a plain file name of the repository folder.
  std::string name;
};

RepositoryRequest ParseRequestHead(const std::string& head);

// The value of `key` in a query text ("a=1&b=2"), percent-decoded; empty when absent.
std::string QueryValue(const std::string& query, const std::string& key);

// The dependency level of a query: a decimal number, saturated to the range of int; 0 when it is
// not a number.
int ParseDependencyLevel(const std::string& text);

}  // namespace VnyRepo
