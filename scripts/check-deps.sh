#!/usr/bin/env bash
# Checks, after a build, that every file under /usr that the build read comes from a Debian
# package that scripts/install-deps.sh names for that build's mode, or from a package that those
# depend on (Depends and Pre-Depends, closed transitively: what an install with
# --no-install-recommends brings along), or from an essential package. A file that comes only
# from a package that is recommended, installed by hand or by accident fails the check, naming
# the file and its package, since a fresh machine would not have it.
#
# What the build read: the compilers' dependency records (ninja -t deps), the programs and
# files its commands name (compilers, flex, bison, cmake, libraries given by path), the
# compilers' own programs, and every file the linker opens for each distinct link line (crt
# files, -l libraries, the sanitizer runtimes), found by linking an empty program with it.
#
# Usage: scripts/check-deps.sh BUILD_DIR [BUILD_DIR...]
set -euo pipefail
(($#)) || { echo "usage: $0 BUILD_DIR..." >&2; exit 2; }
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# install-deps.sh's options for the mode that a build folder was configured in.
modes() {
  grep -q '^KESTRO_FUZZ:BOOL=ON' "$1/CMakeCache.txt" && echo --fuzz
  grep -q '^KESTRO_BENCH:BOOL=ON' "$1/CMakeCache.txt" && echo --bench
  true
}

# Each distinct link line of a build, without its objects, our archives and its output: the
# compiler, then the flags and the system libraries.
link_lines() {
  local line compiler a skip out
  ninja -C "$1" -t commands | grep -v -e ' -c ' -e ' -E rm ' | sed -n 's/^: && \([^&]*\) && .*/\1/p' |
    while read -r line; do
      set -f
      # shellcheck disable=SC2086
      set -- $line
      set +f
      compiler=$1
      shift
      out=("$compiler")
      skip=false
      for a; do
        if $skip; then skip=false; continue; fi
        case "$a" in
          -o) skip=true ;;
          -*) out+=("$a") ;;
          "$repo"/*) ;;
          /*) out+=("$a") ;;
        esac
      done
      echo "${out[*]}"
    done | sort -u
}

# Every file the linker opens for one link line, found by linking an empty program with it.
linker_inputs() {
  local compiler=$1 src=$work/empty.cpp
  shift
  if [[ " $* " == *" -fsanitize=fuzzer "* ]]; then
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' >"$src"
  else
    echo 'int main() { return 0; }' >"$src"
  fi
  "$compiler" -c "$src" -o "$work/empty.o"
  # shellcheck disable=SC2068
  "$compiler" "$work/empty.o" $@ -o "$work/empty" -Wl,--trace >"$work/trace" ||
    { echo "check-deps: cannot link an empty program with: $compiler $*" >&2; return 1; }
  grep -v -e "^$work/" "$work/trace" || true
}

# Every file outside the work tree that the build in $1 read, one absolute path a line.
files_read() {
  local dir=$1 line compiler
  ninja -C "$dir" -t deps | awk '/^    \//{print $1}'
  ninja -C "$dir" -t commands | tr ' ' '\n' | grep '^/' || true
  for compiler in $(sed -n 's/^CMAKE_\(C\|CXX\)_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt" | sort -u); do
    echo "$compiler"
    for prog in cc1 cc1plus as ld collect2; do
      prog=$("$compiler" -print-prog-name=$prog)
      [[ "$prog" == /* ]] || prog=$(command -v "$prog" || true)
      echo "$prog"
    done
  done
  link_lines "$dir" >"$work/links"
  set -f
  while read -r line; do
    # shellcheck disable=SC2086
    linker_inputs $line
  done <"$work/links"
  set +f
}

# /usr-merge: the same file is known to dpkg under /lib, /bin or /sbin, or under /usr.
alias_of() {
  case "$1" in
    /usr/lib/* | /usr/lib64/* | /usr/bin/* | /usr/sbin/*) echo "${1#/usr}" ;;
    /lib/* | /lib64/* | /bin/* | /sbin/*) echo "/usr$1" ;;
    *) echo "$1" ;;
  esac
}

# Per build folder: the packages named, and "file<TAB>target" for each file read under /usr
# (target: where its symlinks lead, if elsewhere).
i=0
for dir; do
  [[ -f "$dir/build.ninja" ]] || { echo "check-deps: $dir is no built Ninja folder" >&2; exit 2; }
  i=$((i + 1))
  # shellcheck disable=SC2046
  bash "$repo/scripts/install-deps.sh" --list $(modes "$dir") >"$work/named.$i"
  files_read "$dir" | grep -E '^/(usr|bin|sbin|lib|lib64)/' | sort -u |
    xargs -r -d '\n' realpath -ms | sort -u >"$work/paths.$i"
  while read -r f; do
    [[ -f "$f" ]] || continue
    target=$(readlink -f "$f")
    [[ "$target" == "$f" ]] && target=""
    printf '%s\t%s\n' "$f" "$target"
  done <"$work/paths.$i" >"$work/files.$i"
done

# One dpkg look-up for every path and alias of every build: "path<TAB>package package...".
cut -f1,2 "$work"/files.* | tr '\t' '\n' | sed '/^$/d' | sort -u | while read -r f; do
  echo "$f"
  alias_of "$f"
done | sort -u >"$work/queries"
xargs -r -d '\n' dpkg-query -S <"$work/queries" 2>/dev/null |
  awk '/^diversion/ { next }
       { i = index($0, ": /"); if (!i) next
         pk = substr($0, 1, i - 1); gsub(/:[a-z0-9]+/, "", pk); gsub(/,/, "", pk)
         print substr($0, i + 2) "\t" pk }' >"$work/owners" || true

# Installed packages: status, name, essential, provides, pre-depends, depends.
dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Essential}\t${Provides}\t${Pre-Depends}\t${Depends}\n' \
  >"$work/status"

# The named packages closed over Depends and Pre-Depends (every installed alternative and
# every installed provider of a virtual name), plus the essential packages and their closure.
closure() {
  awk -F '\t' '
    function bare(n) { sub(/^ +/, "", n); sub(/[ (].*/, "", n); sub(/:.*/, "", n); return n }
    function add(p) { if (!(p in seen)) { seen[p] = 1; queue[tail++] = p } }
    FNR == NR { named[$1] = 1; next }
    $1 ~ /^ii/ {
      p = $2; inst[p] = 1
      if ($3 == "yes") essential[p] = 1
      n = split($4, pr, ","); for (i = 1; i <= n; i++) if (bare(pr[i]) != "") prov[bare(pr[i])] = prov[bare(pr[i])] " " p
      deps[p] = deps[p] "," $5 "," $6
    }
    END {
      for (p in named) if (p in inst) add(p)
      for (p in essential) add(p)
      while (head < tail) {
        p = queue[head++]
        ng = split(deps[p], groups, ",")
        for (g = 1; g <= ng; g++) {
          na = split(groups[g], alts, "|")
          for (a = 1; a <= na; a++) {
            d = bare(alts[a]); if (d == "") continue
            if (d in inst) add(d)
            if (d in prov) { np = split(prov[d], ps, " "); for (k = 1; k <= np; k++) add(ps[k]) }
          }
        }
      }
      for (p in seen) print p
    }' "$1" "$work/status"
}

status=0
i=0
for dir; do
  i=$((i + 1))
  closure "$work/named.$i" >"$work/allowed.$i"
  if awk -F '\t' -v dir="$dir" '
    function alias(f) {
      if (f ~ /^\/usr\/(lib|lib64|bin|sbin)\//) return substr(f, 5)
      if (f ~ /^\/(lib|lib64|bin|sbin)\//) return "/usr" f
      return f
    }
    function owners(f) { return (f in own) ? own[f] : ((alias(f) in own) ? own[alias(f)] : "") }
    # True when one of the packages listed (a file may belong to several) is allowed.
    function fine(list,   n, i, ps) { n = split(list, ps, " "); for (i = 1; i <= n; i++) if (ps[i] in ok) return 1; return 0 }
    FILENAME == ARGV[1] { ok[$1] = 1; next }
    FILENAME == ARGV[2] { own[$1] = $2; next }
    # Names the first few files of each package at fault, then counts the rest.
    function report(file, pk) {
      bad = 1
      if (++count[pk] <= 3) printf "check-deps: %s: %s comes from %s, which scripts/install-deps.sh neither names nor pulls in\n", dir, file, pk
    }
    {
      f = $1; t = $2
      of = owners(f); ot = (t == "") ? "" : owners(t)
      if (of == "" && ot == "") { printf "check-deps: %s: %s belongs to no Debian package\n", dir, f; bad = 1; next }
      if (of != "" && !fine(of)) report(f, of)
      if (ot != "" && !fine(ot)) report(t " (" f ")", ot)
    }
    END {
      for (pk in count) if (count[pk] > 3) printf "check-deps: %s: ... and %d more files from %s\n", dir, count[pk] - 3, pk
      exit bad
    }' "$work/allowed.$i" "$work/owners" "$work/files.$i"; then
    echo "check-deps: $dir: $(wc -l <"$work/files.$i") files read under /usr, each from a named package or a dependency of one"
  else
    status=1
  fi
done
exit $status
