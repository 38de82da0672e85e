#include "repository_request.h"

#include <charconv>
#include <climits>

#include "repository_answer.h"

namespace VnyRepo {

namespace {

// A file name that stays inside its folder. A NUL would end the name that is opened early, so
// that another file than the one asked for is served.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The percent-decoded file name after `prefix` in `path`; false when there is none.
bool FileNameAfter(const std::string& path, const std::string& prefix, std::string& name) {
  return path.rfind(prefix, 0) == 0 && PercentDecode(path.substr(prefix.size()), name) &&
         IsPlainName(name);
}

}  // namespace

RequestHeadState CheckRequestHead(const std::string& head) {
  if (head.find("\r\n\r\n") != std::string::npos) return RequestHeadState::kComplete;
  return head.size() > kMaxRequestHead ? RequestHeadState::kTooLarge
                                       : RequestHeadState::kIncomplete;
}

RepositoryRequest ParseRequestHead(const std::string& head) {
  RepositoryRequest request;
  request.line = head.substr(0, head.find("\r\n"));
  const std::string& line = request.line;
  const size_t space1 = line.find(' ');
  const size_t space2 = line.find(' ', space1 == std::string::npos ? 0 : space1 + 1);
  if (space1 == std::string::npos || space2 == std::string::npos ||
      line.substr(0, space1) != "GET") {
    return request;
  }
  const std::string target = line.substr(space1 + 1, space2 - space1 - 1);
  const size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  request.kind = RepositoryRequest::Kind::kNotFound;
  if (path == kSearchPath) {
    request.kind = RepositoryRequest::Kind::kSearch;
    request.criteria = QueryValue(query, "SearchCriteria");
    request.dependencyLevel = ParseDependencyLevel(QueryValue(query, "DependencyLevel"));
  } else if (FileNameAfter(path, "/packages/", request.name)) {
    request.kind = RepositoryRequest::Kind::kPackage;
  } else if (FileNameAfter(path, "/banners/", request.name)) {
    request.kind = RepositoryRequest::Kind::kBanner;
  } else {
    request.name.clear();
  }
  return request;
}

std::string QueryValue(const std::string& query, const std::string& key) {
  size_t at = 0;
  while (at <= query.size()) {
    const size_t end = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, end - at);
    const size_t eq = pair.find('=');
    std::string value;
    if (eq != std::string::npos && pair.substr(0, eq) == key &&
        PercentDecode(pair.substr(eq + 1), value)) {
      return value;
    }
    at = end + 1;
  }
  return {};
}

int ParseDependencyLevel(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  long long value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error == std::errc::result_out_of_range)
    return first != last && *first == '-' ? INT_MIN : INT_MAX;
  if (error != std::errc() || end == first) return 0;
  return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : int(value);
}

}  // namespace VnyRepo
