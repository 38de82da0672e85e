// The stand-in repository's reading of a peer's request head.
#include "vnyrepo/repository_request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Kind = VnyRepo::RepositoryRequest::Kind;

TEST(RepositoryRequest, ReadsWhatThePeerAsksFor) {
  struct Case {
    std::string line;
    Kind kind;
    const char* name;
  } const cases[] = {
      {"GET /packages/b%20c.cdp HTTP/1.1", Kind::kPackage, "b c.cdp"},
      {"GET /banners/a.jpg HTTP/1.1", Kind::kBanner, "a.jpg"},
      {"GET /packages/..%2Fx HTTP/1.1", Kind::kNotFound, ""},
      // A NUL would end the opened name early and serve a.cdp.
      {std::string("GET /packages/a.cdp\0.x HTTP/1.1", 31), Kind::kNotFound, ""},
      {"POST /packages/a.cdp HTTP/1.1", Kind::kBadRequest, ""},
  };
  for (const Case& c : cases) {
    const VnyRepo::RepositoryRequest r = VnyRepo::ParseRequestHead(c.line + "\r\n\r\n");
    EXPECT_EQ(r.kind, c.kind) << c.line;
    EXPECT_EQ(r.name, c.name) << c.line;
  }
}

}  // namespace
