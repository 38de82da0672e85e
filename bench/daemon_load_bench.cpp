// The daemon under load: 100 clients at once, each on its own connection sending 200 searches
// one after the other, against a daemon process over 1,000 assets. Counters: requests per
// second over the whole run, and the 50th and 99th percentile of a search's round trip in ms.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "daemon/daemon_app.h"
#include "daemon/daemon_test_util.h"
#include "daemon/discovery_publisher.h"
#include "platform/named_mutex.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_protocol.h"
#include "qel/shared_memory.h"

namespace {

namespace fc = PymFilterCodes;
namespace pp = PymProtocol;
using Clock = std::chrono::steady_clock;

const int kClients = BenchSize(100, 4);
const int kSearches = BenchSize(200, 5);
const int kAssets = BenchSize(1000, 50);

// One client: connects, shakes hands and runs its searches; the round trips in microseconds.
bool RunClient(u16 port, const std::string& database, std::vector<double>& times) {
  daemon_test::RawClient client;
  if (!client.Connect(port) || !client.Handshake(database)) return false;
  // A name part that a tenth of the assets hold.
  const std::vector<u8> filter = daemon_test::Str(fc::kStringAssetName, "set 7");
  std::vector<u8> reply;
  for (int i = 0; i < kSearches; ++i) {
    const auto start = Clock::now();
    if (!client.Transact(pp::kOpSearchAssets, u32(i + 1), filter, reply)) return false;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return true;
}

void BM_DaemonLoad(benchmark::State& state) {
  char pattern[] = "/tmp/kestro-load-benchXXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string userData = pattern;
  for (int i = 0; i < kAssets; ++i) {
    const std::string folder = userData + "/local/a" + std::to_string(i);
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/config.txt") << "kuid <kuid:400:" << i << ">\nkind \"scenery\"\n"
                                          << "username \"Asset " << i << "\"\n";
  }
  const std::string database = userData + "/assets.tdx";
  Qel::SharedMemory block;
  block.Create(PymDaemonSrv::DiscoveryPublisher::SharedMemoryName(database), pp::kBlockSize);
  const pid_t pid = fork();
  if (pid == 0) _exit(PymDaemonSrv::RunDaemon({"--userdata", userData}));
  auto* published = static_cast<volatile PymDiscoveryBlock*>(block.GetData());
  u16 port = 0;
  for (int i = 0; i < 3000 && port == 0; ++i) {
    if (published->ownerProcessId == u32(pid)) port = u16(published->port);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::vector<double> all;
  double seconds = 0;
  bool ok = port != 0;
  for (auto _ : state) {
    if (!ok) break;
    std::vector<std::vector<double>> times(kClients);
    std::vector<char> results(kClients, 0);
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back(
          [&, c] { results[size_t(c)] = RunClient(port, database, times[size_t(c)]) ? 1 : 0; });
    }
    for (auto& t : clients) t.join();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int c = 0; c < kClients; ++c) {
      ok = ok && results[size_t(c)] != 0;
      all.insert(all.end(), times[size_t(c)].begin(), times[size_t(c)].end());
    }
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  block.Close();
  Qel::SharedMemory::Remove(PymDaemonSrv::DiscoveryPublisher::SharedMemoryName(database));
  Platform::NamedMutex::Remove(PymDaemonSrv::DiscoveryPublisher::MutexName(database));
  std::error_code ec;
  std::filesystem::remove_all(userData, ec);
  if (!ok || all.empty()) {
    state.SkipWithError("a client failed");
    return;
  }
  std::sort(all.begin(), all.end());
  state.counters["requests_per_s"] = double(all.size()) / seconds;
  state.counters["p50_ms"] = all[all.size() / 2] / 1000.0;
  state.counters["p99_ms"] = all[all.size() * 99 / 100] / 1000.0;
}
BENCHMARK(BM_DaemonLoad)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(BenchSize(3, 1));

}  // namespace

BENCHMARK_MAIN();
