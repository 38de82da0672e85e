// The gate that bounds the memory of install parses: works share a byte budget, a larger one runs
// alone, and each waits for those that came before it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "daemon/package_requests.h"

namespace PymDaemonSrv::PackageRequests {
namespace {

TEST(InstallGate, WorksShareTheBudgetAndALargerOneRunsAlone) {
  const struct {
    std::vector<u64> running;
    u64 asked;
    bool admitted;
  } cases[] = {
      {{}, 1000, true},         {{1000}, 1, false},        {{60}, 40, true}, {{60}, 41, false},
      {{30, 30, 30}, 10, true}, {{30, 30, 30}, 11, false}, {{100}, 0, true},
  };
  for (const auto& c : cases) {
    InstallGate gate(100);
    std::vector<std::unique_ptr<InstallGate::Pass>> passes;
    for (const u64 bytes : c.running)
      passes.push_back(std::make_unique<InstallGate::Pass>(gate, bytes));
    EXPECT_EQ(gate.Admits(c.asked), c.admitted) << c.asked << " beside " << c.running.size();
    passes.clear();
    EXPECT_TRUE(gate.Admits(c.asked)) << "an empty gate admits any work";
  }
}

// Four large works at once hold the gate one after another, never two together.
TEST(InstallGate, LargeWorksAtOnceRunOneByOne) {
  InstallGate gate(100);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::vector<std::thread> works;
  for (int i = 0; i < 4; ++i) {
    works.emplace_back([&] {
      const InstallGate::Pass pass(gate, 500);
      const int now = ++inside;
      for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::yield();
      --inside;
    });
  }
  for (std::thread& t : works) t.join();
  EXPECT_EQ(most, 1);
}

}  // namespace
}  // namespace PymDaemonSrv::PackageRequests
