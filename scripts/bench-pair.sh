# Sourced by the benchmark scripts that time two commands side by side with hyperfine.
# bench_pair CSV_PREFIX NAME_A COMMAND_A NAME_B COMMAND_B runs the two in alternating rounds (one
# round in a small run), so that a change in the machine's load between the two commands' runs
# falls on both, and prints "A_MS B_MS RATIO": the medians over the rounds of each command's
# median (in ms) and of the rounds' ratios A / B. Optional PREPARE_A and PREPARE_B run before each
# run of their command (through a shell, untimed); commands then run through a shell too, and
# the full-size runs are fewer. BENCH_PAIR_OPTIONS, when set, adds hyperfine options (such as -i
# for commands that exit with a status on purpose). Needs bench-size.sh.
bench_pair() {
  local prefix=$1 r rounds options=(-N) runs
  runs=$(bench_runs 2 20)
  if (($# > 5)); then
    options=(--prepare "$6" --prepare "$7")
    runs=$(bench_runs 1 5)
  fi
  rounds=$(bench_size 5 1)
  rm -f "$prefix"-*.csv
  for ((r = 1; r <= rounds; r++)); do
    hyperfine --style basic $runs "${options[@]}" ${BENCH_PAIR_OPTIONS:-} --export-csv "$prefix-$r.csv" \
      --command-name "$2" "$3" --command-name "$4" "$5" >/dev/null
  done
  # Columns: command, mean, stddev, median, user, system, min, max (seconds).
  awk -F, 'function median(v, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    FNR == 2 { a[++n] = $4 } FNR == 3 { b[n] = $4; ratio[n] = a[n] / $4 }
    END { printf "%.2f %.2f %.2f\n", median(a, n) * 1000, median(b, n) * 1000, median(ratio, n) }' \
    "$prefix"-*.csv
}
