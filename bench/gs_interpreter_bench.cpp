// The byte-code interpreter beside Lua 5.4 and beside LuaJIT's interpreter (JIT off), in one
// process: the same five pieces of work in GameScript and in Lua, each written the way its own
// programmers write it. Each benchmark's time is one run of its piece of work; the summary at the
// end gives ns per inner iteration and the ratios GameScript / Lua against their targets.
//
// LuaJIT exports the same C names as Lua 5.4, so it is loaded into a link namespace of its own
// (dlmopen) and reached through the few entry points looked up there; without its library
// (the luajit package) its column stays empty.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <lua.hpp>
#include <string>

#include "bench_script.h"
#include "ratio_reporter.h"

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

// The Lua side as a Lua programmer writes it: numeric `for` loops, the array filled and summed
// up to its length. It runs unchanged on LuaJIT.
constexpr const char* kLua = R"(
function Loop(n)
  local sum = 0
  for i = 0, n - 1 do sum = sum + i end
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
  for i = 0, n - 1 do
    local piece = "item" .. i .. "/" .. fmt(i * 0.5)
    if string.find(piece, "7", 1, true) then found = found + 1 end
    all = all .. piece
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
  for i = 0, n - 1 do c:Add(i) end
  return c:Total()
end

function Arrays(n)
  local values = {}
  for i = 0, n - 1 do values[i + 1] = i end
  local sum = 0
  for i = 1, #values do sum = sum + values[i] end
  return sum
end
)";

struct Work {
  const char* name;
  const char* method;
  i32 argument;
  f64 units;  // inner iterations of one run, for ns per iteration
  f64 target;     // GameScript / Lua 5.4
  f64 jitTarget;  // GameScript / LuaJIT with the JIT off; 0 for none
};

// fib(22) makes 57,313 calls.
constexpr Work kWork[] = {
    {"Loop", "Loop", 100000, 100000, 1.0, 1.3},   {"Fib", "Fib", 22, 57313, 1.0, 1.3},
    {"Strings", "Strings", 2000, 2000, 1.0, 0},   {"Objects", "Objects", 100000, 100000, 1.0, 0},
    {"Arrays", "Arrays", 10000, 20000, 1.0, 1.3},
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

// LuaJIT through its 5.1 interface, with the JIT engine off for the whole state.
class LuaJitSide {
 public:
  bool Open() {
    library_ = dlmopen(LM_ID_NEWLM, "libluajit-5.1.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr || !Find(&newState_, "luaL_newstate") ||
        !Find(&openLibs_, "luaL_openlibs") || !Find(&loadString_, "luaL_loadstring") ||
        !Find(&pcall_, "lua_pcall") || !Find(&getField_, "lua_getfield") ||
        !Find(&pushInteger_, "lua_pushinteger") || !Find(&toInteger_, "lua_tointeger") ||
        !Find(&setTop_, "lua_settop") || !Find(&close_, "lua_close") ||
        !Find(&setMode_, "luaJIT_setmode")) {
      return false;
    }
    state_ = newState_();
    if (state_ == nullptr) return false;
    openLibs_(state_);
    constexpr int kModeEngine = 0;  // LUAJIT_MODE_ENGINE with LUAJIT_MODE_OFF
    return setMode_(state_, 0, kModeEngine) != 0 && loadString_(state_, kLua) == 0 &&
           pcall_(state_, 0, 0, 0) == 0;
  }
  ~LuaJitSide() {
    if (state_ != nullptr) close_(state_);
    if (library_ != nullptr) dlclose(library_);
  }
  bool Run(const Work& work, i32* result) {
    constexpr int kGlobals = -10002;  // LUA_GLOBALSINDEX
    getField_(state_, kGlobals, work.method);
    pushInteger_(state_, work.argument);
    if (pcall_(state_, 1, 1, 0) != 0) return false;
    *result = static_cast<i32>(toInteger_(state_, -1));
    setTop_(state_, -2);
    return true;
  }

 private:
  template <typename F>
  bool Find(F** entry, const char* name) {
    *entry = reinterpret_cast<F*>(dlsym(library_, name));
    return *entry != nullptr;
  }

  void* library_ = nullptr;
  lua_State* state_ = nullptr;
  lua_State* (*newState_)() = nullptr;
  void (*openLibs_)(lua_State*) = nullptr;
  int (*loadString_)(lua_State*, const char*) = nullptr;
  int (*pcall_)(lua_State*, int, int, int) = nullptr;
  void (*getField_)(lua_State*, int, const char*) = nullptr;
  void (*pushInteger_)(lua_State*, std::ptrdiff_t) = nullptr;
  std::ptrdiff_t (*toInteger_)(lua_State*, int) = nullptr;
  void (*setTop_)(lua_State*, int) = nullptr;
  void (*close_)(lua_State*) = nullptr;
  int (*setMode_)(lua_State*, int, int) = nullptr;
};

GameScriptSide* g_gameScript = nullptr;
LuaSide* g_lua = nullptr;
LuaJitSide* g_luaJit = nullptr;

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

// "  ratio target" of GameScript against one peer, or blanks when either did not run.
void PrintRatio(f64 gs, f64 peer, f64 target) {
  if (gs <= 0 || peer <= 0 || target <= 0) {
    std::printf(" %8s %7s", "", "");
    return;
  }
  std::printf(" %8.2f %6.1f%s", gs / peer, target, gs / peer <= target ? " " : "*");
}

void PrintSummary(const RatioReporter& reporter) {
  std::printf("\n%-8s %10s %10s %10s %8s %7s %8s %7s\n", "work", "GS ns", "Lua ns",
              "LuaJIT ns", "/Lua", "target", "/LuaJIT", "target");
  for (const Work& work : kWork) {
    const f64 gs = reporter.Seconds((std::string("GameScript/") + work.name).c_str()) * 1e9;
    const f64 lua = reporter.Seconds((std::string("Lua/") + work.name).c_str()) * 1e9;
    const f64 jit = reporter.Seconds((std::string("LuaJIT-joff/") + work.name).c_str()) * 1e9;
    std::printf("%-8s %10.2f %10.2f %10.2f", work.name, gs / work.units, lua / work.units,
                jit / work.units);
    PrintRatio(gs, lua, work.target);
    PrintRatio(gs, jit, work.jitTarget);
    std::printf("\n");
  }
  std::printf("(ns per inner iteration, processor time; * over target)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GameScriptSide gameScript;
  LuaSide lua;
  if (!gameScript.Open() || !lua.Open()) {
    std::fprintf(stderr, "gs_interpreter_bench: cannot set up the GameScript or Lua side\n");
    return 1;
  }
  LuaJitSide luaJit;
  const bool withJit = luaJit.Open();
  if (!withJit) {
    std::fprintf(stderr, "gs_interpreter_bench: no LuaJIT (scripts/install-deps.sh --bench); "
                         "its column stays empty\n");
  }
  g_gameScript = &gameScript;
  g_lua = &lua;
  g_luaJit = &luaJit;
  // Each piece of work on every side before the next, so that a change in the machine's load
  // falls on all of them alike.
  for (const Work& work : kWork) {
    benchmark::RegisterBenchmark((std::string("GameScript/") + work.name).c_str(),
                                 [&work](benchmark::State& s) { RunWork(s, g_gameScript, work); });
    benchmark::RegisterBenchmark((std::string("Lua/") + work.name).c_str(),
                                 [&work](benchmark::State& s) { RunWork(s, g_lua, work); });
    if (withJit) {
      benchmark::RegisterBenchmark((std::string("LuaJIT-joff/") + work.name).c_str(),
                                   [&work](benchmark::State& s) { RunWork(s, g_luaJit, work); });
    }
  }
  RatioReporter reporter(RatioReporter::Clock::kProcessor);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
