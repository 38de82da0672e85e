// What the validation mark costs, with a library asset whose folder also holds a large sparse
// file (10 GB; 16 MB in the small run), each side measured beside its peer in the same run:
// - a store's open (a daemon's start and first index load) of an installation where that asset
//   carries a faulty verdict, beside the same installation with no verdicts (target: ratio
//   within 1.5);
// - a validation through the daemon's request path, answered by a fake command host, of that
//   asset beside the same asset with a 1-byte file: clean, and unchanged after a faulty verdict
//   (target: each ratio within 2);
// - an install of an unrelated small asset while the first faulty validation of the large asset
//   is held open by the host, and again right as the host answers (target: under 1 s each);
// - an install from a folder, and a commit, of an asset of 200 MB (2 MB in the small run) whose
//   KUID holds faulty verdicts (the commit's carried to the copy), beside the same of an asset
//   without verdicts (target: each ratio within 1.5).
// The ratios are measured also as on a file system that keeps whole seconds (whole_seconds:1:
// signatures read file times as one keeps them), where a wait for the clock would take seconds;
// there, as on a file system that does keep whole seconds (ext4 made with `-I 128`), a copy made
// within the second of its change times carries no verdict.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/safe_folder.h"
#include "bench_support.h"
#include "daemon/asset_store.h"
#include "daemon/daemon_test_util.h"
#include "daemon/request_handlers.h"
#include "daemon/server.h"
#include "platform/byte_order.h"
#include "pymclient/pym_filter_codes.h"
#include "pymclient/pym_protocol.h"

namespace {

namespace pp = PymProtocol;
using Clock = std::chrono::steady_clock;
using daemon_test::Bytes;
using daemon_test::Message;
using daemon_test::RawClient;

const off_t kLargeBytes = BenchSize(off_t(10) << 30, off_t(16) << 20);
const int kOtherAssets = BenchSize(200, 10);
const KUID kLarge(409990, 1, 0);
const KUID kSmall(409990, 2, 0);
const KUID kUnrelated(409990, 3, 0);
const off_t kCopiedBytes = BenchSize(off_t(200) << 20, off_t(2) << 20);
const KUID kCopiedWith(409990, 4, 0);
const KUID kCopiedWithout(409990, 5, 0);

// While it lives, with `on`, signatures read file times as a file system of whole seconds
// keeps them.
struct WholeSeconds {
  explicit WholeSeconds(const benchmark::State& state) {
    SafeFolder::SetWholeSecondsForTests(state.range(0) != 0);
  }
  ~WholeSeconds() { SafeFolder::SetWholeSecondsForTests(false); }
};

double Ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A library asset with a lib.gs and a data file of `bytes`, sparse.
bool MakeLibrary(const std::string& folder, const KUID& kuid, off_t bytes) {
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/config.txt")
      << "kuid " << kuid.ToString().CStr() << "\nkind \"library\"\nkestro-build 3.5\n";
  std::ofstream(folder + "/lib.gs") << "return 1;\n";
  const int fd = open((folder + "/data.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const bool made = fd >= 0 && ftruncate(fd, bytes) == 0;
  if (fd >= 0) close(fd);
  return made;
}

// The installation: the large and the small library, and other assets around them.
bool MakeInstallation(const std::string& userData) {
  for (int i = 0; i < kOtherAssets; ++i) {
    daemon_test::MakeAsset(userData, "local", "other" + std::to_string(i),
                           daemon_test::Config("<kuid:409991:" + std::to_string(i) + ">"));
  }
  return MakeLibrary(userData + "/local/large", kLarge, kLargeBytes) &&
         MakeLibrary(userData + "/local/small", kSmall, 1);
}

void BM_StoreOpenWithVerdictsBesideWithout(benchmark::State& state) {
  const WholeSeconds wholeSeconds(state);
  const scratch::Folder with;
  const scratch::Folder without;
  std::string error;
  bool ok = MakeInstallation(with.path()) && MakeInstallation(without.path());
  {
    // Each index built once, and the verdict taken, before the measured opens.
    PymDaemonSrv::AssetStore clean;
    PymDaemonSrv::AssetStore marked;
    ok = ok && clean.Open(without.path(), &error) && marked.Open(with.path(), &error) &&
         daemon_test::MarkFaulty(marked, kLarge, error);
  }
  double withMs = 0;
  double withoutMs = 0;
  bool marked = true;
  for (auto _ : state) {
    for (const bool verdicts : {true, false}) {
      PymDaemonSrv::AssetStore store;
      const auto start = Clock::now();
      ok = ok && store.Open((verdicts ? with : without).path(), &error);
      (verdicts ? withMs : withoutMs) += Ms(start);
      PymDaemonSrv::AssetRecord r;
      marked =
          marked && store.GetAsset(kLarge, r) && r.HasFlag(PymFilterCodes::kFlagFaulty) == verdicts;
    }
  }
  if (!ok || !marked) {
    state.SkipWithError(ok ? "the verdict was not found" : error.c_str());
    return;
  }
  const double n = double(state.iterations());
  state.counters["with_ms"] = withMs / n;
  state.counters["without_ms"] = withoutMs / n;
  state.counters["ratio"] = withMs / withoutMs;
}
BENCHMARK(BM_StoreOpenWithVerdictsBesideWithout)
    ->Unit(benchmark::kMillisecond)
    ->ArgName("whole_seconds")
    ->Arg(0)
    ->Arg(1);

// An in-process daemon over an installation, with a fake command host that judges every asset
// with the verdict it is given and may hold its answer.
class HostedDaemon {
 public:
  // False, with the benchmark skipped, when the daemon or its host did not start.
  bool Start(benchmark::State& state, bool (*make)(const std::string&) = MakeInstallation) {
    std::string error = "the daemon did not start";
    if (!make(folder_.path()) || !store_.Open(folder_.path(), &error) ||
        !server_.Listen(0, &error)) {
      state.SkipWithError(error.c_str());
      return false;
    }
    runner_ = std::thread([this] { server_.Run(); });
    started_ = true;
    std::vector<u8> reply;
    if (Connect(host_) && Connect(sender_) && Connect(changer_) && host_.SendFrame(0x8C, 0, {}) &&
        host_.Transact(0, 1, {}, reply)) {
      return true;
    }
    state.SkipWithError("the command host did not register");
    return false;
  }
  ~HostedDaemon() {
    if (!started_) return;
    server_.Stop();
    runner_.join();
  }

  std::string Path(const std::string& relative) const { return folder_.path() + relative; }

  // Validates the installed asset in local/`name`; `held` runs once the host has the command and
  // before it answers, `answered` right after its answer. False when the exchange failed or the
  // verdict is not the one given.
  bool Validate(const std::string& name, bool valid, const std::function<void()>& held = nullptr,
                const std::function<void()>& answered = nullptr) {
    std::vector<u8> result;
    auto asking = std::async(std::launch::async, [&] {
      return sender_.Transact(pp::kOpValidateAssetPath, ++id_,
                              Bytes().Name("local").Text(Path("/local/" + name)).data, result);
    });
    Message note;
    bool ok = host_.Read(note);
    if (held) held();
    ok = ok && host_.SendFrame(0x8D, 0, daemon_test::HostVerdict("judged", valid));
    if (answered) answered();
    return asking.get() && ok && result == std::vector<u8>{u8(valid ? 1 : 0)};
  }

  // Installs the unrelated asset from a folder of its own; its time in ms, or -1.
  double InstallUnrelated() {
    const std::string from = Path("/unrelated");
    if (!std::filesystem::exists(from)) {
      daemon_test::WriteFile(from + "/config.txt",
                             daemon_test::Config(kUnrelated.ToString().CStr()));
    }
    return InstallFrom(from, kUnrelated);
  }

  // Installs the asset `kuid` from the folder `from`; the time in ms, or -1.
  double InstallFrom(const std::string& from, const KUID& kuid) {
    std::vector<u8> reply;
    const auto start = Clock::now();
    const bool installed = changer_.Transact(pp::kOpInstallAssetFromFolder, ++id_,
                                             Bytes().Text(from).U32(0).U8(0).data, reply) &&
                           reply == Bytes().Kuid(kuid).U8(0).data;
    return installed ? Ms(start) : -1;
  }

  // Opens the asset for editing, with a faulty verdict on the editing copy when `faulty`, and
  // commits it; the commit's time in ms, or -1.
  double EditAndCommit(const KUID& kuid, bool faulty) {
    std::vector<u8> reply;
    std::string error;
    if (!changer_.Transact(pp::kOpOpenAsset, ++id_, Bytes().Kuid(kuid).U8(1).data, reply) ||
        reply.size() < 8 || (faulty && !daemon_test::MarkFaulty(store_, kuid, error))) {
      return -1;
    }
    const u64 handle = ByteOrder::LoadLE64(reply.data());
    const auto start = Clock::now();
    const bool committed =
        changer_.Transact(pp::kOpCommitAsset, ++id_, Bytes().U64(handle).data, reply) &&
        !reply.empty() && reply.front() == 1;
    return committed ? Ms(start) : -1;
  }

  bool MarkFaulty(const KUID& kuid) {
    std::string error;
    return daemon_test::MarkFaulty(store_, kuid, error);
  }

  // Whether the file system of the installation keeps whole seconds: its folder's times hold no
  // fraction.
  bool KeepsWholeSeconds() const {
    struct stat st {};
    return stat(folder_.path().c_str(), &st) == 0 && st.st_ctim.tv_nsec == 0 &&
           st.st_mtim.tv_nsec == 0;
  }

  bool Faulty(const KUID& kuid) {
    PymDaemonSrv::AssetRecord r;
    return store_.GetAsset(kuid, r) && r.HasFlag(PymFilterCodes::kFlagFaulty);
  }

 private:
  bool Connect(RawClient& c) { return c.Connect(server_.Port()) && c.Handshake(); }

  scratch::Folder folder_;
  PymDaemonSrv::AssetStore store_;
  PymDaemonSrv::RequestHandlers handlers_{store_};
  PymDaemonSrv::Server server_{handlers_};
  std::thread runner_;
  bool started_ = false;
  RawClient host_;
  RawClient sender_;
  RawClient changer_;
  u32 id_ = 10;
};

// The mean time per iteration of each side of `what`, from their sums `ms`, and their ratio.
void SideBySide(benchmark::State& state, const std::string& what, const std::string& side,
                const std::string& peer, const double (&ms)[2]) {
  const double n = double(state.iterations());
  state.counters[what + "_" + side + "_ms"] = ms[0] / n;
  state.counters[what + "_" + peer + "_ms"] = ms[1] / n;
  state.counters[what + "_ratio"] = ms[0] / ms[1];
}

void BM_ValidateLargeBesideSmall(benchmark::State& state) {
  const WholeSeconds wholeSeconds(state);
  HostedDaemon daemon;
  if (!daemon.Start(state)) return;
  // [clean, faulty] x [large, small]; the faulty ones after a first faulty verdict on the files.
  double ms[2][2] = {};
  bool ok = daemon.Validate("large", false) && daemon.Validate("small", false);
  for (auto _ : state) {
    for (const bool clean : {true, false}) {
      for (const bool large : {true, false}) {
        const auto start = Clock::now();
        ok = ok && daemon.Validate(large ? "large" : "small", clean);
        ms[clean ? 0 : 1][large ? 0 : 1] += Ms(start);
        // A pass clears the verdict; the faulty round judges unchanged files again.
        if (clean) ok = ok && daemon.Validate(large ? "large" : "small", false);
      }
    }
  }
  if (!ok || !daemon.Faulty(kLarge) || !daemon.Faulty(kSmall)) {
    state.SkipWithError("a validation failed");
    return;
  }
  SideBySide(state, "clean", "large", "small", ms[0]);
  SideBySide(state, "faulty", "large", "small", ms[1]);
}
BENCHMARK(BM_ValidateLargeBesideSmall)
    ->Unit(benchmark::kMillisecond)
    ->ArgName("whole_seconds")
    ->Arg(0)
    ->Arg(1);

void BM_InstallDuringAFirstFaultyValidation(benchmark::State& state) {
  HostedDaemon daemon;
  if (!daemon.Start(state)) return;
  double heldMs = 0;
  double answeredMs = 0;
  bool ok = true;
  i64 round = 0;
  for (auto _ : state) {
    // Files of their own for each round, so that each faulty verdict is a first one.
    const std::string lib = daemon.Path("/local/large/lib.gs");
    const timespec times[2] = {{1000000000 + ++round, 0}, {1000000000 + round, 0}};
    ok = ok && utimensat(AT_FDCWD, lib.c_str(), times, 0) == 0;
    double held = -1;
    std::future<double> answered;
    ok = ok && daemon.Validate(
                   "large", false, [&] { held = daemon.InstallUnrelated(); },
                   [&] {
                     answered =
                         std::async(std::launch::async, [&] { return daemon.InstallUnrelated(); });
                   });
    const double afterAnswer = answered.valid() ? answered.get() : -1;
    ok = ok && held >= 0 && afterAnswer >= 0;
    heldMs = std::max(heldMs, held);
    answeredMs = std::max(answeredMs, afterAnswer);
  }
  if (!ok) {
    state.SkipWithError("a validation or an install failed");
    return;
  }
  state.counters["install_held_max_ms"] = heldMs;
  state.counters["install_answered_max_ms"] = answeredMs;
}
BENCHMARK(BM_InstallDuringAFirstFaultyValidation)->Unit(benchmark::kMillisecond);

// The two assets of 200 MB, each also in a folder of its own outside the installation to install
// from; the data file's bytes are written, not sparse, as a real asset's are.
bool MakeCopiedAssets(const std::string& userData) {
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 131 % 251);
  for (const KUID& kuid : {kCopiedWith, kCopiedWithout}) {
    const std::string name = kuid == kCopiedWith ? "with" : "without";
    for (const std::string& folder : {userData + "/local/" + name, userData + "/" + name}) {
      daemon_test::WriteFile(folder + "/config.txt", daemon_test::Config(kuid.ToString().CStr()));
      std::ofstream data(folder + "/data.bin", std::ios::binary);
      for (off_t left = kCopiedBytes; left > 0; left -= off_t(block.size())) {
        data.write(block.data(), std::streamsize(std::min<off_t>(left, off_t(block.size()))));
      }
      if (!data.flush()) return false;
    }
  }
  return true;
}

void BM_InstallAndCommitWithVerdictsBesideWithout(benchmark::State& state) {
  const WholeSeconds wholeSeconds(state);
  HostedDaemon daemon;
  if (!daemon.Start(state, MakeCopiedAssets)) return;
  // [install, commit] x [with verdicts, without].
  double ms[2][2] = {};
  bool ok = daemon.MarkFaulty(kCopiedWith);
  const bool wholeSecondTimes = state.range(0) != 0 || daemon.KeepsWholeSeconds();
  bool unmarked = true;
  bool carried = true;
  bool first = true;
  for (auto _ : state) {
    // Each side goes first in turn: the disk's write-back favours neither.
    first = !first;
    for (const bool verdicts : {first, !first}) {
      const KUID kuid = verdicts ? kCopiedWith : kCopiedWithout;
      const double installed =
          daemon.InstallFrom(daemon.Path(verdicts ? "/with" : "/without"), kuid);
      // Other files than those judged: no verdict.
      unmarked = unmarked && !daemon.Faulty(kuid);
      const double committed = daemon.EditAndCommit(kuid, verdicts);
      // The committed copy of judged files keeps their verdict, but on a file system of whole
      // seconds only when the copy took past their second.
      unmarked = unmarked && (verdicts || !daemon.Faulty(kuid));
      carried = carried && (!verdicts || wholeSecondTimes || daemon.Faulty(kuid));
      ok = ok && installed >= 0 && committed >= 0;
      ms[0][verdicts ? 0 : 1] += installed;
      ms[1][verdicts ? 0 : 1] += committed;
    }
  }
  if (!ok || !unmarked || !carried) {
    state.SkipWithError(!ok       ? "an install, edit or commit failed"
                        : carried ? "a verdict went to other files"
                                  : "a verdict did not go with its copy");
    return;
  }
  SideBySide(state, "install", "with", "without", ms[0]);
  SideBySide(state, "commit", "with", "without", ms[1]);
}
BENCHMARK(BM_InstallAndCommitWithVerdictsBesideWithout)
    ->Unit(benchmark::kMillisecond)
    ->ArgName("whole_seconds")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(BenchSize(5, 1));

}  // namespace

BENCHMARK_MAIN();
