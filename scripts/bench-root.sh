# Sourced by the benchmark scripts that need a running installation: lays out a fresh
# installation of build at root (both set by the caller), and stops its daemon and removes it
# again when the script ends. A fixed root reuses the same discovery objects from run to run.
stop_bench_daemon() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    [[ "$exe" == "$root/bin/PymDaemon" ]] && kill -TERM "${p#/proc/}" 2>/dev/null
  done
  rm -rf "$root"
}
stop_bench_daemon
trap stop_bench_daemon EXIT
bash "$(dirname "${BASH_SOURCE[0]}")/make-install.sh" "$build" "$root"

# Starts the daemon and a command host of the installation, and waits until the host has
# registered (at most 10 s).
start_bench_command_host() {
  "$root/bin/KestroUtil" version >/dev/null
  "$root/bin/KestroUtil" pymcommandhost >/dev/null 2>&1 &
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q "is a command host" "$root/UserData/pymdaemon.log" 2>/dev/null && break
    sleep 0.1
  done
}
