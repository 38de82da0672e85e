# Sourced by the benchmark scripts: the size they run at. `make bench` runs them at full size;
# `make bench-ci` sets KESTRO_BENCH_SMALL=1, and each then runs once on a small input, so that a
# set-up that stopped working fails CI.
bench_small() { [[ -n "${KESTRO_BENCH_SMALL:-}" && "${KESTRO_BENCH_SMALL}" != 0 ]]; }
# Prints FULL, or SMALL in a small run.
bench_size() { if bench_small; then echo "$2"; else echo "$1"; fi; }
# hyperfine's warm-up and run counts: WARMUP and RUNS, or none and one in a small run.
bench_runs() { if bench_small; then echo "--warmup 0 --runs 1"; else echo "--warmup $1 --runs $2"; fi; }
