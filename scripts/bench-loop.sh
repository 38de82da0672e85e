# Sourced by the benchmark scripts that time flushes, before bench-root.sh: on a file system of
# the page cache or of a host that keeps writes in memory, a flush costs nearly nothing, and a
# change that flushes each file looks as cheap as one that flushes once. Where it can (root, a
# free loop device), this makes a 4 GB ext4 file system on a loop device with direct I/O, whose
# flushes reach the disk below as a real disk's do, mounts it and sets bench_parent to it; the
# script's installations then go there. Elsewhere bench_parent is TMPDIR, and a line says so.
# Whatever ends the script, the file system is unmounted and its loop device and image removed
# (bench-root.sh's end calls leave_bench_loop once its daemons are stopped). Needs the caller's
# name in bench_name.
bench_parent=${TMPDIR:-/tmp}
bench_loop_image=""
bench_loop_device=""
bench_loop_mount=""
leave_bench_loop() {
  local i
  if [[ -n "$bench_loop_mount" ]]; then
    # A daemon told to stop may still hold its files for a moment.
    for ((i = 0; i < 50; i++)); do
      umount "$bench_loop_mount" 2>/dev/null && break
      sleep 0.2
    done
    mountpoint -q "$bench_loop_mount" && umount -l "$bench_loop_mount"
    rmdir "$bench_loop_mount" 2>/dev/null || true
  fi
  # Detaching a device still in use frees it once the last use ends.
  [[ -n "$bench_loop_device" ]] && losetup -d "$bench_loop_device" 2>/dev/null
  [[ -n "$bench_loop_image" ]] && rm -f "$bench_loop_image"
  bench_loop_mount="" bench_loop_device="" bench_loop_image=""
}
# Sets bench_loop_why when it cannot.
make_bench_loop() {
  local out
  [[ $(id -u) -eq 0 ]] || { bench_loop_why="not root"; return 1; }
  if ! command -v losetup >/dev/null || ! command -v mkfs.ext4 >/dev/null; then
    bench_loop_why="losetup or mkfs.ext4 is missing"
    return 1
  fi
  bench_loop_image=$(mktemp "${TMPDIR:-/tmp}/kestro-bench-loop.XXXXXX")
  truncate -s 4G "$bench_loop_image" || { bench_loop_why="no room for a 4 GB image"; return 1; }
  if ! out=$(losetup --direct-io=on --find --show "$bench_loop_image" 2>&1); then
    bench_loop_why="losetup: $out"
    return 1
  fi
  bench_loop_device=$out
  # One inode per 4 KB: a run holds several copies of a folder of one-byte files.
  if ! out=$(mkfs.ext4 -q -i 4096 "$bench_loop_device" 2>&1); then
    bench_loop_why="mkfs.ext4: $out"
    return 1
  fi
  bench_loop_mount=$(mktemp -d "${TMPDIR:-/tmp}/kestro-bench-loop-mount.XXXXXX")
  if ! out=$(mount "$bench_loop_device" "$bench_loop_mount" 2>&1); then
    rmdir "$bench_loop_mount"
    bench_loop_mount=""
    bench_loop_why="mount: $out"
    return 1
  fi
}
trap leave_bench_loop EXIT
trap 'exit 130' INT TERM
bench_loop_why=""
if make_bench_loop; then
  bench_parent=$bench_loop_mount
  echo "$bench_name: on an ext4 file system of a loop device with direct I/O"
else
  leave_bench_loop
  echo "$bench_name: no loop file system ($bench_loop_why); timing on $bench_parent instead, whose flushes may cost less than a disk's"
fi
