#include <set>
#include <string>

#include "gsruntime/object_bridge.h"
#include "gsruntime/script_run_fixture.h"

namespace {

// Two libraries of one shape: the same classes, methods and code length, so that the second is
// read into the same number of bytes and its classes get the same ids, and its call site may
// well land where the first one's was. Only the constant returned tells them apart.
std::string Library(int value) {
  return R"(class Target {
  public int Value() { return )" +
         std::to_string(value) + R"(; }
};
class Caller {
  public int Run() { Target t = new Target(); return t.Value() + t.Value(); }
};
)";
}

std::set<const u8*> CachedSites() {
  std::set<const u8*> sites;
  for (const GSRuntime::ObjectBridge::MethodCacheEntry& entry : GSRuntime::ObjectBridge::g_methodCache) {
    if (entry.site != nullptr) sites.insert(entry.site);
  }
  return sites;
}

class MethodCacheTest : public gs_test::ScriptRunTest {};

// A call through the cache after a library was unloaded and another loaded in its place runs the
// new library's method: an entry keyed by the old library's call site or class never answers.
TEST_F(MethodCacheTest, ALibraryLoadedWhereAnotherWasNeverMeetsItsEntries) {
  Build(Library(1), "Caller");
  u32 word = 0;
  ASSERT_TRUE(Call("Run", {}, &word));
  EXPECT_EQ(word, 2u);
  const std::set<const u8*> firstSites = CachedSites();
  ASSERT_FALSE(firstSites.empty()) << "the call did not go through the cache";

  object_.Destroy();
  GSMachine::ResetForTests();
  EXPECT_TRUE(CachedSites().empty()) << "an unloaded library's call sites are still cached";

  Build(Library(5), "Caller");
  ASSERT_TRUE(Call("Run", {}, &word));
  EXPECT_EQ(word, 10u);
}

}  // namespace
