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

repo_pid=""
stop_repository() {
  [[ -n "$repo_pid" ]] && kill -TERM "$repo_pid" 2>/dev/null && wait "$repo_pid" 2>/dev/null
  repo_pid=""
}

stop_daemon() {
  local pid i
  stop_repository
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

# The sample assets of the user's local content folder. Laid out again when the demo ends, so
# that the installation it leaves holds them for the README's examples.
lay_out_samples() {
# Two sample assets of our own.
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

# Two assets with scripts: a lamp whose script compiles and a broken one with a syntax error.
# They are library assets, which pass validation without meshes, so the scripts are compiled;
# a library's script class derives from Library.
mkdir -p "$root/UserData/local/demo lamp" "$root/UserData/local/demo broken lamp"
mesh_table='mesh-table
{
  default
  {
    mesh                                "lamp.im"
    auto-create                         1
  }
}'
cat > "$root/UserData/local/demo lamp/config.txt" <<CONFIG
kuid                                    <kuid:400100:1003>
username                                "Demo lamp"
kind                                    "library"
kestro-build                            3.5
script                                  "lamp"
class                                   "Lamp"
CONFIG
cat > "$root/UserData/local/demo lamp/lamp.gs" <<'SCRIPT'
// A lamp that counts how often it was switched on.
include "Library.gs"
class Lamp isclass Library
{
  int switched;

  public int SwitchOn(int times)
  {
    switched = switched + times;
    return switched;
  }
};
SCRIPT
cat > "$root/UserData/local/demo broken lamp/config.txt" <<CONFIG
kuid                                    <kuid:400100:1004>
username                                "Demo broken lamp"
kind                                    "library"
kestro-build                            3.5
script                                  "lamp"
class                                   "Lamp"
CONFIG
cat > "$root/UserData/local/demo broken lamp/lamp.gs" <<'SCRIPT'
include "Library.gs"
class Lamp isclass Library
{
  public int SwitchOn(int times
  {
    return times;
  }
};
SCRIPT

# A faulty asset: its script lies outside its folder, its mesh and thumbnail are missing and the
# thumbnail's width is negative. Validation reports each, and compiles no script.
mkdir -p "$root/UserData/local/demo faulty lamp"
cat > "$root/UserData/local/demo faulty lamp/config.txt" <<'CONFIG'
kuid                                    <kuid:400100:1005>
username                                "Demo faulty lamp"
kind                                    "scenery"
kestro-build                            3.5
script                                  "../demo lamp/lamp"
class                                   "Lamp"
mesh-table
{
  default
  {
    mesh                                "lamp.im"
    auto-create                         1
  }
}
thumbnails
{
  0
  {
    image                               "thumbnail.jpg"
    width                               -240
    height                              180
  }
}
CONFIG

}
lay_out_samples

mkdir -p "$root/scripts-demo"
cat > "$root/scripts-demo/demo-batch.txt" <<'BATCH'
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
show status "<kuid:400100:1001>"
show printconfig "<kuid:400100:1001>"
show edit "<kuid2:400100:1002:1>"
show status "<kuid2:400100:1002:1>"
show revert "<kuid2:400100:1002:1>"
show edit "<kuid:400100:1001>"
show commit "<kuid:400100:1001>"
show validate "<kuid:400100:1001>"
# A command host compiles an asset's scripts when the asset is validated; the library is cached
# per asset, reused while the source is unchanged and compiled afresh after an edit.
"$tool" pymcommandhost >"$root/commandhost.out" 2>&1 &
host_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -q "is a command host" "$root/UserData/pymdaemon.log" 2>/dev/null && break
  sleep 0.1
done
cache="$root/UserData/cache/libraries/kuid 400100 1003"
show validate "<kuid:400100:1003>"
ls --full-time "$cache"
echo
show validate "<kuid:400100:1003>"
ls --full-time "$cache"
echo
echo "// Edited." >>"$root/UserData/local/demo lamp/lamp.gs"
show validate "<kuid:400100:1003>"
ls --full-time "$cache"
echo
show validate "<kuid:400100:1004>"
# A validation through the command host that ends with errors marks the asset faulty in the
# daemon's record: its status shows F, and a repair keeps the mark.
show validate "<kuid:400100:1005>"
show status "<kuid:400100:1005>"
show generatekuid
show authors
show listbuilds "$root/builds.txt"
cat "$root/builds.txt"
echo
show repairdatabase
show status "<kuid:400100:1005>"
show closepymdaemon
# The command host ends with the daemon's connection.
wait "$host_pid" || true
show status "<kuid:400100:1001>"
# A package of both assets; the station is deleted and comes back from the package.
show createcdp "$root/demo.cdp" "<kuid:400100:1001>" "<kuid2:400100:1002:1>"
show delete "<kuid2:400100:1002:1>"
show status "<kuid2:400100:1002:1>"
show installcdp "$root/demo.cdp"
show status "<kuid2:400100:1002:1>"
# The repository: three packages (a coach that needs a bogie and a sound) in Repository/, served by
# the stand-in repository server on loopback; the installation names it in repository.txt.
mkdir -p "$root/Repository"
for n in 3001 3002 3003; do
  mkdir -p "$root/UserData/local/repo $n"
  {
    echo "kuid <kuid:400100:$n>"
    echo "kind \"scenery\""
    echo "kestro-build 3.5"
    echo "username \"Repository item $n\""
    [[ $n == 3001 ]] && printf 'kuid-table\n{\n  0 <kuid:400100:3002>\n  1 <kuid:400100:3003>\n}\n'
  } >"$root/UserData/local/repo $n/config.txt"
done
"$tool" repairdatabase >/dev/null
for n in 3001 3002 3003; do
  "$tool" createcdp "$root/Repository/item$n.cdp" "<kuid:400100:$n>" >/dev/null
  "$tool" delete "<kuid:400100:$n>" >/dev/null
done
"$build/vnyrepo" --root "$root" --port-file "$root/repository.port" &
repo_pid=$!
for ((i = 0; i < 100; i++)); do [[ -s "$root/repository.port" ]] && break; sleep 0.1; done
echo "query-host \"http://127.0.0.1:$(cat "$root/repository.port")\"" >"$root/repository.txt"
cat "$root/repository.txt"
show installfromvny "<kuid:400100:3001>"
show installfromvny "<kuid:400100:3001>"
show status "<kuid:400100:3003>"
show installfromvny "<kuid:400100:3999>"
stop_repository
show installfromvny "<kuid:400100:3998>"
# Script paths are taken relative to the folder the tool was started in.
cd "$root/scripts-demo"
show encrypt hello.gs
show compile hello.gs
ls -l "$root/scripts-demo"
echo
# Batch files too are named from the folder the tool was started in.
show @demo-batch.txt
# A batch file that does not exist is refused on standard error: that line is the answer shown,
# not a fault of the demo.
echo "(missing-batch.txt does not exist: the error line below is the answer expected)"
show @missing-batch.txt 2>&1
cd "$repo"

# The validation library's data and texture check, shown through the developer tool tettool: the
# merged definitions of the installed TETData (their first lines), and the texture findings of a
# small texture asset of our own whose alpha image has another size than its primary image and
# whose second description names a file outside the asset.
tga() {  # width height: an 8-bit grey TGA (sides below 256)
  printf "\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\\x$(printf %02x "$1")\x00\\x$(printf %02x "$2")\x00\x08\x00"
  head -c $(($1 * $2)) /dev/zero | tr '\0' '\100'
}
texture="$root/demo-texture"
mkdir -p "$texture/textures"
printf 'kind "texture"\nkestro-build 3.5\n' >"$texture/config.txt"
tga 64 64 >"$texture/textures/rail.tga"
tga 64 32 >"$texture/textures/rail-alpha.tga"
printf 'Primary=rail.tga\r\nAlpha=rail-alpha.tga\r\n' >"$texture/textures/rail.texture.txt"
printf 'Primary=../../bin/data/InterfaceText.txt\r\n' >"$texture/textures/escape.texture.txt"
echo "\$ tettool defs bin/TETData    (its first 8 lines)"
"$build/tettool" defs "$root/bin/TETData" | sed -n 1,8p
echo
echo "\$ tettool textures --data bin/data demo-texture"
status=0
"$build/tettool" textures --data "$root/bin/data" "$texture" || status=$?
echo "[exit code $status]"

# The container trees of a signal like the demo signal, with a mesh table and one tag that no
# definition knows, and of the texture asset above, matched one after the other in one process as
# the command host matches assets.
signal="$root/demo-tree-signal"
mkdir -p "$signal"
cat >"$signal/config.txt" <<'CONFIG'
kuid                                    <kuid:400100:1001>
username                                "Demo signal"
kind                                    "scenery"
category-class                          "SI"
category-era                            "1950s;1960s"
author                                  "Demo Maker"
kestro-build                            3.5
mesh-table
{
  default
  {
    mesh                                "signal.im"
    auto-create                         1
  }
  lamp
  {
    mesh                                "lamp.im"
    att-parent                          "default"
  }
}
lamp-colour                             "red"
CONFIG
echo
echo "\$ tettool tree --tetdata bin/TETData --data bin/data demo-tree-signal demo-texture"
status=0
"$build/tettool" tree --tetdata "$root/bin/TETData" --data "$root/bin/data" "$signal" "$texture" || status=$?
echo "[exit code $status]"

# The same validation as the command host's, without a daemon: the signal's mesh files are
# missing and its unknown tag is an error; the demo lamp passes (its script is not compiled here).
echo
echo "\$ tettool validate --tetdata bin/TETData --data bin/data demo-tree-signal \"UserData/local/demo lamp\""
status=0
"$build/tettool" validate --tetdata "$root/bin/TETData" --data "$root/bin/data" "$signal" \
  "$root/UserData/local/demo lamp" || status=$?
echo "[exit code $status]"
echo

# Texture conversion: descriptions of a small editing asset of our own compiled into ".texture"
# files beside them (DXT1 for the opaque one, DXT5 where an alpha image gives full alpha, DXT3
# and uncompressed by their hints), one of them dumped with qirfdump; then a description whose
# image is broken, named in the error, with exit code 255 and nothing written.
textures="UserData/editing/demo textures"
mkdir -p "$root/$textures" "$root/UserData/editing/demo broken"
tga 128 128 >"$root/$textures/ballast.tga"
tga 64 64 >"$root/$textures/fence.tga"
tga 64 64 >"$root/$textures/fence-alpha.tga"
printf 'Primary=ballast.tga\r\n' >"$root/$textures/ballast.texture.txt"
printf 'Primary=fence.tga\r\nAlpha=fence-alpha.tga\r\nTile=none\r\n' >"$root/$textures/fence.texture.txt"
printf 'Primary=ballast.tga\r\nHint=dxt3\r\n' >"$root/$textures/sign.texture.txt"
printf 'Primary=fence.tga\r\nHint=uncompressed\r\n' >"$root/$textures/plain.texture.txt"
printf 'not an image' >"$root/UserData/editing/demo broken/rust.tga"
printf 'Primary=rust.tga\r\n' >"$root/UserData/editing/demo broken/rust.texture.txt"
(cd "$root" && show compresstexture "$textures")
echo "\$ ls \"$textures\""
ls "$root/$textures"
echo
echo "\$ qirfdump \"$textures/ballast.texture\""
"$build/qirfdump" "$root/$textures/ballast.texture" | sed "s|$root/||"
echo
for name in fence sign plain; do
  echo "\$ qirfdump \"$textures/$name.texture\"    (the texture lines)"
  "$build/qirfdump" "$root/$textures/$name.texture" | grep -v '^  0x' | sed -n '3,$p'
  echo
done
(cd "$root" && show compresstexture "UserData/editing/demo broken")
echo "\$ ls \"UserData/editing/demo broken\""
ls "$root/UserData/editing/demo broken"
echo

# The remaining commands, from the installation root: the version's other bytes, a folder tree
# installed, a consist list made into assets, keywords backed up and imported, a package and a
# folder described for the repository through a command host, and last every asset deleted.
cd "$root"
show installedversionhi
show installedbuildnumberlo
mkdir -p "incoming/benches/demo bench"
cat >"incoming/benches/demo bench/config.txt" <<'CONFIG'
kuid                                    <kuid:400100:1006>
username                                "Demo bench"
kind                                    "scenery"
kestro-build                            3.5
keywords                                "bench;park"
CONFIG
show installfrompath incoming
cat >consists.txt <<'CONSISTS'
train-0
{
  name                                  "Demo express"
  list
  {
    car-0                               <kuid:400100:1001>
    num-0                               2
    dir-0                               1
  }
}
CONSISTS
show importconsists consists.txt
show backupkeywords
printf 'kuid:400100:1006 "bench;garden"\n' >KeywordsDump.dat
show importkeywords
hosts=$(grep -c "is a command host" "$root/UserData/pymdaemon.log" 2>/dev/null || true)
"$tool" pymcommandhost >"$root/commandhost2.out" 2>&1 &
host_pid=$!
for ((i = 0; i < 100; i++)); do
  (($(grep -c "is a command host" "$root/UserData/pymdaemon.log" 2>/dev/null || true) > hosts)) &&
    break
  sleep 0.1
done
show createcdp "$root/inspect.cdp" "<kuid:400100:1006>"
show vnyparse inspect.cdp
ls "$root" | grep -i '^kuid ' || true
echo
mkdir -p "export/demo shed"
printf 'kuid <kuid:400100:1007>\nusername "Demo shed"\nkind "scenery"\nkestro-build 3.5\n' \
  >"export/demo shed/config.txt"
show vnyparsefolder export
find "Kestro Asset Parse" -type f | sort
echo
show vnydeleteall
show searchbycategory
show closepymdaemon
wait "$host_pid" || true
lay_out_samples
cd "$repo"
