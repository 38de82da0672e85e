# Thin wrappers over scripts/ and CMake; see README.md.
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
# Line tables only in the test builds: sanitizer reports keep their files and lines, and full
# debug information (DEBUG_INFO=-g, for gdb's locals) makes every compile about 40% slower.
DEBUG_INFO ?= -g1
# The ThreadSanitizer and fuzz builds compile the libraries a few sources to a unit (KESTRO_UNITY),
# which cuts their compile time by about 40%. The benchmark build does so only when asked
# (BENCH_UNITY=ON, as CI does, which only checks that every benchmark runs): measured figures come
# from libraries compiled as the shipped program's are.
BENCH_UNITY ?= OFF

.PHONY: all deps release run test tsan tsan-build bench bench-build bench-ci fuzz fuzz-build fuzz-ci format clean

all: release

deps:
	@bash scripts/install-deps.sh

RELEASE_CONFIGURE := cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DKESTRO_TESTS=OFF

release: deps
	@$(RELEASE_CONFIGURE) >/dev/null
	@cmake --build build/release -j $(JOBS)

# The demo needs only the tool, the stand-in daemon, the stand-in repository, the developer tools
# it shows and the base script library that an installation carries.
run: deps
	@$(RELEASE_CONFIGURE) >/dev/null
	@cmake --build build/release -j $(JOBS) --target KestroUtil PymDaemon vnyrepo tettool qirfdump gslib
	@bash scripts/demo.sh build/release

test: deps
	@cmake -S . -B build/test $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 $(DEBUG_INFO)" -DKESTRO_SANITIZE=ON -DKESTRO_WERROR=ON >/dev/null
	@cmake --build build/test -j $(JOBS)
	@cd build/test && ctest --output-on-failure -j $(JOBS)

# The concurrency suites under ThreadSanitizer: the lower layers, the asset-database client
# (reader thread, question threads, transactions), the daemon (connections, URL transfers) and
# validation (texture conversions side by side on the worker threads).
TSAN_SUITES := qel_tests qelgfx_tests core_tests mesh_tests pymclient_tests daemon_tests validation_tests

tsan: deps tsan-build
	@for suite in $(TSAN_SUITES); do build/tsan/$$suite --gtest_brief=1 || exit 1; done

# The -build targets build without installing or running anything (CI installs once, then builds
# these beside the test build).
tsan-build:
	@cmake -S . -B build/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 $(DEBUG_INFO)" -DKESTRO_TSAN=ON -DKESTRO_WERROR=ON -DKESTRO_UNITY=ON >/dev/null
	@cmake --build build/tsan -j $(JOBS) --target $(TSAN_SUITES)

BENCH_CONFIGURE := cmake -S . -B build/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DKESTRO_TESTS=OFF -DKESTRO_BENCH=ON -DKESTRO_UNITY=$(BENCH_UNITY)

bench-build:
	@$(BENCH_CONFIGURE) >/dev/null
	@cmake --build build/bench -j $(JOBS)

bench:
	@bash scripts/install-deps.sh --bench
	@$(MAKE) --no-print-directory bench-build
	@bash scripts/run-bench.sh build/bench

# What CI runs: every benchmark once on a small input, so that one whose set-up broke fails.
bench-ci:
	@bash scripts/install-deps.sh --bench
	@$(MAKE) --no-print-directory bench-build
	@bash scripts/run-bench.sh --small build/bench

fuzz-build:
	@CC=clang CXX=clang++ cmake -S . -B build/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" -DKESTRO_FUZZ=ON -DKESTRO_TESTS=OFF -DKESTRO_UNITY=ON >/dev/null
	@cmake --build build/fuzz -j $(JOBS)

fuzz:
	@bash scripts/install-deps.sh --fuzz
	@$(MAKE) --no-print-directory fuzz-build
	@bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

# CI's smoke run: every target must build and survive a few seconds over its corpus.
FUZZ_CI_SECONDS ?= 5
fuzz-ci:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_CI_SECONDS)

format:
	@find src tests bench fuzz tools daemon -name '*.cpp' -o -name '*.h' 2>/dev/null | xargs -r clang-format -i

clean:
	rm -rf build
