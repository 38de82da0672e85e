// The byte-code interpreter beside Lua 5.4, in one process: the same five pieces of work in
// GameScript and in Lua. Each benchmark's time is one run of its piece of work; the summary at
// the end gives ns per inner iteration and the ratio GameScript / Lua against its target.
//
// Both sides write their loops the way the other has to: GameScript's `for` tests, adds and
// steps as separate instructions, so the Lua side counts with `while` rather than its numeric
// `for`, and both search with their library's plain substring search.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <lua.hpp>
#include <map>
#include <string>
#include <vector>

#include "bench_script.h"

namespace {

constexpr const char* kGameScript = R"(include "gs.gs"

class Counter {
  int total;
  public void Add(int n) { total = total + n; }
  public int Total() { return total; }
};

class Bench {
  public int Loop(int n) {
    int sum = 0;
    int i;
    for (i = 0; i < n; i++) sum = sum + i;
    return sum;
  }
  public int Fib(int n) {
    if (n < 2) return n;
    return Fib(n - 1) + Fib(n - 2);
  }
  public int Strings(int n) {
    string all = "";
    int found = 0;
    int i;
    for (i = 0; i < n; i++) {
      string piece = "item" + i + "/" + (i * 0.5);
      if (Str.Find(piece, "7", 0) >= 0) found++;
      all = all + piece;
    }
    return found + all.size();
  }
  public int Objects(int n) {
    Counter c = new Counter();
    int i;
    for (i = 0; i < n; i++) c.Add(i);
    return c.Total();
  }
  public int Arrays(int n) {
    int[] values = new int[0];
    int i;
    for (i = 0; i < n; i++) values[i] = i;
    int sum = 0;
    for (i = 0; i < values.size(); i++) sum = sum + values[i];
    return sum;
  }
};
)";

constexpr const char* kLua = R"(
function Loop(n)
  local sum = 0
  local i = 0
  while i < n do sum = sum + i; i = i + 1 end
  return sum
end

local function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end
function Fib(n) return fib(n) end

local function fmt(x)
  return string.format("%f", x)
end
function Strings(n)
  local all = ""
  local found = 0
  local i = 0
  while i < n do
    local piece = "item" .. i .. "/" .. fmt(i * 0.5)
    if string.find(piece, "7", 1, true) then found = found + 1 end
    all = all .. piece
    i = i + 1
  end
  return found + #all
end

local Counter = {}
Counter.__index = Counter
function Counter.new() return setmetatable({total = 0}, Counter) end
function Counter:Add(n) self.total = self.total + n end
function Counter:Total() return self.total end
function Objects(n)
  local c = Counter.new()
  local i = 0
  while i < n do c:Add(i); i = i + 1 end
  return c:Total()
end

function Arrays(n)
  local values = {}
  local i = 0
  while i < n do values[i + 1] = i; i = i + 1 end
  local sum = 0
  i = 0
  while i < #values do sum = sum + values[i + 1]; i = i + 1 end
  return sum
end
)";

struct Work {
  const char* name;
  const char* method;
  i32 argument;
  f64 units;  // inner iterations of one run, for ns per iteration
  f64 target;
};

// fib(22) makes 57,313 calls.
constexpr Work kWork[] = {
    {"Loop", "Loop", 100000, 100000, 1.2},   {"Fib", "Fib", 22, 57313, 1.2},
    {"Strings", "Strings", 2000, 2000, 3.0}, {"Objects", "Objects", 100000, 100000, 3.0},
    {"Arrays", "Arrays", 10000, 20000, 1.2},
};

class GameScriptSide {
 public:
  bool Open() { return script_.Open(kGameScript, "Bench"); }
  bool Run(const Work& work, i32* result) {
    return script_.Object().Call(work.method, {GSRuntime::ScriptArgument::Int(work.argument)},
                                 result);
  }

 private:
  BenchScript script_;
};

class LuaSide {
 public:
  bool Open() {
    state_ = luaL_newstate();
    luaL_openlibs(state_);
    return luaL_dostring(state_, kLua) == LUA_OK;
  }
  ~LuaSide() {
    if (state_ != nullptr) lua_close(state_);
  }
  bool Run(const Work& work, i32* result) {
    lua_getglobal(state_, work.method);
    lua_pushinteger(state_, work.argument);
    if (lua_pcall(state_, 1, 1, 0) != LUA_OK) return false;
    *result = static_cast<i32>(lua_tointeger(state_, -1));
    lua_pop(state_, 1);
    return true;
  }

 private:
  lua_State* state_ = nullptr;
};

GameScriptSide* g_gameScript = nullptr;
LuaSide* g_lua = nullptr;

template <typename Side>
void RunWork(benchmark::State& state, Side* side, const Work& work) {
  i32 result = 0;
  for (auto _ : state) {
    if (!side->Run(work, &result)) {
      state.SkipWithError("the run failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.counters["ns_per_iteration"] = benchmark::Counter(
      work.units, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Collects each run's time and prints the ratios once every benchmark has run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-8s %14s %14s %8s %8s\n", "work", "GS ns/iter", "Lua ns/iter", "ratio",
                "target");
    for (const Work& work : kWork) {
      const auto gs = times_.find(std::string("GameScript/") + work.name);
      const auto lua = times_.find(std::string("Lua/") + work.name);
      if (gs == times_.end() || lua == times_.end()) continue;
      // Both times are in the reporter's unit (ns unless asked otherwise).
      std::printf("%-8s %14.2f %14.2f %8.2f %8.1f%s\n", work.name, gs->second / work.units,
                  lua->second / work.units, gs->second / lua->second, work.target,
                  gs->second / lua->second <= work.target ? "" : "  (over target)");
    }
  }

 private:
  std::map<std::string, f64> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GameScriptSide gameScript;
  LuaSide lua;
  if (!gameScript.Open() || !lua.Open()) {
    std::fprintf(stderr, "gs_interpreter_bench: cannot set up the GameScript or Lua side\n");
    return 1;
  }
  g_gameScript = &gameScript;
  g_lua = &lua;
  for (const Work& work : kWork) {
    benchmark::RegisterBenchmark((std::string("GameScript/") + work.name).c_str(),
                                 [&work](benchmark::State& s) { RunWork(s, g_gameScript, work); });
    benchmark::RegisterBenchmark((std::string("Lua/") + work.name).c_str(),
                                 [&work](benchmark::State& s) { RunWork(s, g_lua, work); });
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
