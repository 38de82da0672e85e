// The daemon under load: 100 clients at once, each on its own connection sending 200 searches
// one after the other, against a daemon process over 1,000 assets. Counters: requests per
// second over the whole run, and the 50th and 99th percentile of a search's round trip in ms.
// Then the daemon's memory: ten rounds of mixed requests (search, info, open for edit, revert,
// release) against one daemon, with its resident size read from /proc after each round. Counters:
// the size after the first and the last round, and the most any of the last five rounds added.
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
#include "platform/byte_order.h"
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

// A daemon process over kAssets assets in a fresh folder.
struct LoadDaemon {
  std::string userData;
  std::string database;
  Qel::SharedMemory block;
  pid_t pid = -1;
  u16 port = 0;

  // False when it did not publish itself.
  bool Start() {
    char pattern[] = "/tmp/kestro-load-benchXXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    userData = pattern;
    for (int i = 0; i < kAssets; ++i) {
      const std::string folder = userData + "/local/a" + std::to_string(i);
      std::filesystem::create_directories(folder);
      std::ofstream(folder + "/config.txt") << "kuid <kuid:400:" << i << ">\nkind \"scenery\"\n"
                                            << "username \"Asset " << i << "\"\n";
    }
    database = userData + "/assets.tdx";
    block.Create(PymDaemonSrv::DiscoveryPublisher::SharedMemoryName(database), pp::kBlockSize);
    pid = fork();
    if (pid == 0) _exit(PymDaemonSrv::RunDaemon({"--userdata", userData}));
    auto* published = static_cast<volatile PymDiscoveryBlock*>(block.GetData());
    for (int i = 0; i < 3000 && port == 0; ++i) {
      if (published->ownerProcessId == u32(pid)) port = u16(published->port);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return port != 0;
  }

  // VmRSS in MB, or 0.
  double ResidentMb() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
  }

  ~LoadDaemon() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    block.Close();
    Qel::SharedMemory::Remove(PymDaemonSrv::DiscoveryPublisher::SharedMemoryName(database));
    Platform::NamedMutex::Remove(PymDaemonSrv::DiscoveryPublisher::MutexName(database));
    std::error_code ec;
    if (!userData.empty()) std::filesystem::remove_all(userData, ec);
  }
};

void BM_DaemonLoad(benchmark::State& state) {
  LoadDaemon daemon;
  const bool started = daemon.Start();
  const u16 port = daemon.port;
  const std::string& database = daemon.database;

  std::vector<double> all;
  double seconds = 0;
  bool ok = started;
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

// One client's round of mixed requests, each client on an asset of its own.
bool RunMixedClient(u16 port, const std::string& database, int client, int cycles) {
  daemon_test::RawClient c;
  if (!c.Connect(port) || !c.Handshake(database)) return false;
  const std::vector<u8> filter = daemon_test::Str(fc::kStringAssetName, "set 7");
  const KUID kuid(400, client % kAssets, 0);
  std::vector<u8> reply;
  u32 id = 0;
  for (int i = 0; i < cycles; ++i) {
    daemon_test::Bytes open;
    open.Kuid(kuid).U8(1);
    if (!c.Transact(pp::kOpSearchAssets, ++id, filter, reply) ||
        !c.Transact(pp::kOpGetAssetInfo, ++id, daemon_test::Bytes().Kuid(kuid).data, reply) ||
        !c.Transact(pp::kOpOpenAsset, ++id, open.data, reply) || reply.size() < 8) {
      return false;
    }
    const u64 handle = ByteOrder::LoadLE64(reply.data());
    const std::vector<u8> byHandle = daemon_test::Bytes().U64(handle).data;
    if (!c.Transact(pp::kOpRevertAsset, ++id, byHandle, reply) ||
        !c.Transact(pp::kOpReleaseAsset, ++id, byHandle, reply)) {
      return false;
    }
  }
  return true;
}

void BM_DaemonMemoryUnderMixedLoad(benchmark::State& state) {
  constexpr int kRounds = 10;
  const int cycles = BenchSize(40, 2);
  LoadDaemon daemon;
  bool ok = daemon.Start();
  std::vector<double> resident;
  for (auto _ : state) {
    for (int round = 0; ok && round < kRounds; ++round) {
      std::vector<char> results(kClients, 0);
      std::vector<std::thread> clients;
      for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
          results[size_t(c)] = RunMixedClient(daemon.port, daemon.database, c, cycles) ? 1 : 0;
        });
      }
      for (auto& t : clients) t.join();
      ok = std::all_of(results.begin(), results.end(), [](char r) { return r != 0; });
      resident.push_back(daemon.ResidentMb());
    }
  }
  if (!ok || resident.size() < kRounds) {
    state.SkipWithError("a client failed");
    return;
  }
  double lateGrowth = 0;
  for (size_t r = resident.size() - 5; r < resident.size(); ++r) {
    lateGrowth = std::max(lateGrowth, resident[r] - resident[r - 1]);
  }
  state.counters["rss_first_mb"] = resident.front();
  state.counters["rss_last_mb"] = resident.back();
  state.counters["late_round_growth_mb"] = lateGrowth;
}
BENCHMARK(BM_DaemonMemoryUnderMixedLoad)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
