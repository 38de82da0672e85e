#!/usr/bin/env bash
# Checks that includes point one way (docs/design.md, section 1) down the layer table in
# scripts/layers.txt. "X: A B" means a file under src/X may include X, A, B and whatever A and B
# may include, and nothing else of ours.
# tools/, bench/, fuzz/ and tests/ may include every layer. A header named *_internal.h is
# private to its folder: no file of another folder includes it, tests included.
# Fails naming each file and line that breaks a rule.
set -euo pipefail
cd "$(dirname "$0")/.."

# The table, one "name: deps" row a line; CMakeLists.txt reads the same file.
layers=$(grep -v '^[[:space:]]*#' scripts/layers.txt)
# The protocol's constant headers that the daemon shares may themselves include only what the
# daemon may, so that nothing else of the client reaches it through them.
shared_with_daemon='src/pymclient/pym_protocol.h src/pymclient/pym_filter_codes.h'

grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' --include='*.l' \
  --include='*.y' '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' src daemon tools bench fuzz tests |
  awk -v layers="$layers" -v shared="$shared_with_daemon" '
    # may[X] holds " A B ... " closed over the table, each folder or single header X may include.
    function close_over(x,   n, i, d, parts, out) {
      if (x in done) return done[x]
      done[x] = " " x " "
      out = " " x " "
      n = split(direct[x], parts, " ")
      for (i = 1; i <= n; i++) {
        d = parts[i]
        out = out (d in direct ? close_over(d) : " " d " ")
      }
      done[x] = out
      return out
    }
    function allowed(from, inc, layer) {
      return index(may[from], " " layer " ") || index(may[from], " " inc " ")
    }
    BEGIN {
      n = split(layers, rows, "\n")
      for (i = 1; i <= n; i++) {
        if (rows[i] == "") continue
        split(rows[i], kv, ":")
        direct[kv[1]] = kv[2]
      }
      for (x in direct) may[x] = close_over(x)
      ns = split(shared, s, " ")
      for (i = 1; i <= ns; i++) sharedFile[s[i]] = 1
      for (x in direct) ours[x] = 1
      ours["daemon"] = ours["support"] = 1
    }
    {
      # "path:line:text"
      file = $0; sub(/:.*/, "", file)
      rest = substr($0, length(file) + 2)
      line = rest; sub(/:.*/, "", line)
      text = substr(rest, length(line) + 2)
      inc = text; sub(/^[^"<]*["<]/, "", inc); sub(/[">].*/, "", inc)
      quoted = text ~ /include[[:space:]]*"/

      dir = file; sub(/\/[^\/]*$/, "", dir)
      top = file; sub(/\/.*/, "", top)
      if (inc !~ /\//) {
        if (!quoted) next
        path = dir "/" inc            # beside the including file
      } else {
        first = inc; sub(/\/.*/, "", first)
        if (!(first in ours)) next    # a system header
        path = (first == "daemon") ? inc : (first == "support") ? "tests/" inc : "src/" inc
      }
      incDir = path; sub(/\/[^\/]*$/, "", incDir)
      layer = path; sub(/^(src|tests)\//, "", layer); sub(/\/.*/, "", layer)
      short = path; sub(/^src\//, "", short)

      if (inc ~ /_internal\.h$/ && incDir != dir) {
        printf "%s:%s: includes %s, which is private to %s/\n", file, line, inc, incDir
        bad = 1
        next
      }
      if (top == "tools" || top == "bench" || top == "fuzz" || top == "tests") next
      from = file; sub(/^src\//, "", from); sub(/\/.*/, "", from)
      if (!(from in may)) {
        printf "%s:%s: %s/ has no place in the layer table\n", file, line, from
        bad = 1
        next
      }
      if (!allowed(from, short, layer)) {
        printf "%s:%s: %s may not include %s (layer %s)\n", file, line, from, inc, layer
        bad = 1
        next
      }
      if (file in sharedFile && !allowed("daemon", short, layer)) {
        printf "%s:%s: %s is shared with the daemon, which may not include %s\n", file, line, file, inc
        bad = 1
      }
    }
    END { exit bad }'
echo "check-layers: every include of ours points down the layer table"
