#!/usr/bin/env bash
# Lays out a demo installation from a build folder and shows the commands that work so far, each
# with what it prints and its exit code, against the stand-in daemon on sample content.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
root="$repo/build/demo"
tool="$root/bin/KestroUtil"

# Daemons whose program is this root's PymDaemon (also a replaced one, shown as "(deleted)").
daemon_pids() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    if [[ "$exe" == "$root/bin/PymDaemon" || "$exe" == "$root/bin/PymDaemon (deleted)" ]]; then
      echo "${p#/proc/}"
    fi
  done
}

stop_daemon() {
  local pid i
  for pid in $(daemon_pids); do
    kill -TERM "$pid" 2>/dev/null || continue
    for ((i = 0; i < 100; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
}

show() {
  local status=0
  echo "\$ KestroUtil$(printf ' %q' "$@")"
  "$tool" "$@" || status=$?
  echo "[exit code $status]"
  echo
}

# A fresh root each time, so that the daemon indexes the sample content anew.
stop_daemon
rm -rf "$root"
bash "$repo/scripts/make-install.sh" "$build" "$root"
trap stop_daemon EXIT

# Two sample assets of our own in the user's local content folder.
mkdir -p "$root/UserData/local/demo signal" "$root/UserData/local/demo station"
cat > "$root/UserData/local/demo signal/config.txt" <<'CONFIG'
kuid                                    <kuid:400100:1001>
username                                "Demo signal"
kind                                    "scenery"
category-class                          "SI"
author                                  "Demo Maker"
kestro-build                            3.5
CONFIG
cat > "$root/UserData/local/demo station/config.txt" <<'CONFIG'
kuid                                    <kuid2:400100:1002:1>
username                                "Demo station"
kind                                    "buildable"
category-class                          "BS;BR"
CONFIG

cat > "$root/bin/demo-batch.txt" <<'BATCH'
"echo" "a path/with blanks" "and more"
echo plain words
searchbycategory "bs"
nosuchcommand
BATCH

mkdir -p "$root/scripts-demo"
cat > "$root/scripts-demo/hello.gs" <<'SCRIPT'
class Hello
{
  public int Greet(int times)
  {
    return times * 2;
  }
};
SCRIPT

echo "== Demo installation in $root (exit codes as Linux shows them: -1 is 255)"
echo
show help
show version
show echo Hello from the demo
show installedversion
show installedbuildnumber
show installedversionlo
show installedbuildnumberhi
show searchbycategory
show searchbycategory "si|br"
show searchbycategory "-si"
show searchbycategory -a "SI"
show registeraccount demo-user demo-password
show nosuchcommand
show installcdp sample.cdp
show status "<kuid:400100:1001>"
show printconfig "<kuid:400100:1001>"
show edit "<kuid2:400100:1002:1>"
show status "<kuid2:400100:1002:1>"
show revert "<kuid2:400100:1002:1>"
show edit "<kuid:400100:1001>"
show commit "<kuid:400100:1001>"
show validate "<kuid:400100:1001>"
show generatekuid
show authors
show listbuilds "$root/builds.txt"
cat "$root/builds.txt"
echo
show repairdatabase
show closepymdaemon
show status "<kuid:400100:1001>"
show delete "<kuid2:400100:1002:1>"
show status "<kuid2:400100:1002:1>"
# Script paths are taken relative to the folder the tool was started in.
cd "$root/scripts-demo"
show encrypt hello.gs
show compile hello.gs
ls -l "$root/scripts-demo"
echo
cd "$repo"
show @demo-batch.txt
show @missing-batch.txt
