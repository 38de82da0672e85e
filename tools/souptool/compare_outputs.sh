#!/usr/bin/env bash
# Reads many texts with two builds of souptool and fails when any written soup differs: a change
# to the text reader or the tree must leave every soup it makes byte for byte the same.
#
#   tools/souptool/compare_outputs.sh OLD_SOUPTOOL NEW_SOUPTOOL [COUNT]
#
# The texts are every file the repository tracks, read as a soup whatever it holds, and COUNT
# (default 300) generated configurations of every shape the reader knows: nested and unclosed
# blocks, repeated names, quotes, escapes, every line end, numbers and lists, KUIDs and bytes
# above 127. Each is printed in the text form and converted to the binary form by both builds.
set -euo pipefail

old=$(realpath "$1")
new=$(realpath "$2")
count=${3:-300}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/in"
n=0
while IFS= read -r -d '' file; do
  [ -f "$root/$file" ] || continue
  cp "$root/$file" "$work/in/tracked$((n += 1)).txt"
done < <(git -C "$root" ls-files -z)

python3 - "$work/in" "$count" <<'EOF'
import random, sys
folder, count = sys.argv[1], int(sys.argv[2])
words = ["kuid", "username", "kind", "mesh", "mesh-table", "effects", "0", "1", "a", "A",
         "Name", "light", "description", "dimensions", "trainz-build", "kuid-table", "{x", "_"]
values = ['"quoted text"', '"two\nlines"', '"cr\rlf\r\nend"', "plain text", "12", "-7",
          "3.5", "1.2.3", "1,2,3", "1 2 , 3", "-", ".", "<kuid:123:456>", "<KUID2:1:2:3>",
          "<kuid:-3:4>", "<kuid2:1234567890:1:2>", "<null>", "<kuid:1:2> <kuid:3:4>",
          "esc\\nape\\\\x", "caf\xe9", "\xc3\xa9t\xc3\xa9", "99999999999999", "", "   ",
          "'single'", '"open quote', "tab\tin", "1e5", "0x10"]
ends = ["\n", "\r\n", "\r", "\n\r"]
for i in range(count):
    rnd = random.Random(i)
    end = rnd.choice(ends) if rnd.random() < 0.8 else None
    out, depth = [], 0
    if rnd.random() < 0.3: out.append("\ufeff")
    for _ in range(rnd.randint(1, 400)):
        e = end or rnd.choice(ends)
        pad = " " * rnd.randint(0, 40) if rnd.random() < 0.9 else "\t"
        r = rnd.random()
        if r < 0.12 and depth < 12:
            out.append(rnd.choice(words) + rnd.choice([e + "{" + e, " {" + e, "{" + e, e + e + "{"]))
            depth += 1
        elif r < 0.2 and depth > 0:
            out.append("}" + e)
            depth -= 1
        elif r < 0.25:
            out.append(rnd.choice(words) + e)
        else:
            name = rnd.choice(words) if rnd.random() < 0.7 else "n%d" % rnd.randint(0, 9999)
            out.append("  " * depth + name + pad + rnd.choice(values) + e)
    if rnd.random() < 0.7:
        out.append("}" * depth)
    text = "".join(out)
    with open("%s/gen%d.txt" % (folder, i), "wb") as f:
        f.write(text.encode("latin-1", "replace") if rnd.random() < 0.5 else text.encode("utf-8"))
EOF

checked=0
differ=0
for file in "$work/in"/*.txt; do
  base=$(basename "$file" .txt)
  for build in old new; do
    tool=${!build}
    set +e
    "$tool" print "$file" >"$work/$base.$build.print" 2>&1
    echo "exit $?" >>"$work/$base.$build.print"
    "$tool" convert "$file" "$work/$base.$build.chump" >/dev/null 2>&1
    echo "exit $?" >"$work/$base.$build.convert"
    set -e
  done
  if ! cmp -s "$work/$base.old.print" "$work/$base.new.print" ||
     ! cmp -s "$work/$base.old.convert" "$work/$base.new.convert" ||
     ! cmp -s "$work/$base.old.chump" "$work/$base.new.chump"; then
    echo "differs: $file" >&2
    differ=$((differ + 1))
    cp "$file" "/tmp/souptool-differs-$base.txt"
  fi
  rm -f "$work/$base".*
  checked=$((checked + 1))
done
echo "$checked inputs, $differ differ"
[ "$differ" -eq 0 ]
