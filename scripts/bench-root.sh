# Sourced by the benchmark scripts that need running installations: lays out a fresh
# installation of build at root, or at each of the array roots when the caller sets that instead
# (both set by the caller, each a new folder of its own from mktemp, so that two runs at once
# never share an installation or a daemon), and stops their daemons and removes them again when
# the script ends.
[[ -v roots ]] || roots=("$root")
stop_bench_daemon() {
  local p exe r
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    for r in "${roots[@]}"; do
      [[ "$exe" == "$r/bin/PymDaemon" ]] && kill -TERM "${p#/proc/}" 2>/dev/null
    done
  done
  rm -rf "${roots[@]}"
  if declare -F leave_bench_loop >/dev/null; then leave_bench_loop; fi
}
trap stop_bench_daemon EXIT
for r in "${roots[@]}"; do
  bash "$(dirname "${BASH_SOURCE[0]}")/make-install.sh" "$build" "$r"
done

# Starts the daemon and a command host of the installation at root, and waits until the host
# has registered (at most 10 s).
start_bench_command_host() {
  "$root/bin/KestroUtil" version >/dev/null
  "$root/bin/KestroUtil" pymcommandhost >/dev/null 2>&1 &
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q "is a command host" "$root/UserData/pymdaemon.log" 2>/dev/null && break
    sleep 0.1
  done
}
