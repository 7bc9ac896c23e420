#!/usr/bin/env bash
# The repository's one style (.clang-format for layout, .clang-tidy for names).
#   scripts/style.sh check   fails when a C or C++ file is laid out or named otherwise; reads the
#                            compile commands of the native and win64 trees (build them first)
#   scripts/style.sh fix     lays out every file and renames what is misnamed, in its own trees
#                            (build/style-*), then the project must be built and tested as usual
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:-check}

# Every C and C++ source of the project's own; third-party code is not in the repository.
sources() { git ls-files -- '*.c' '*.cpp' '*.h' ':!:*/pathvigil_i.c'; }

# clang-tidy reads the mingw trees with clang's MinGW driver, pointed at the posix-thread runtime
# the project builds with (the compiler's default guess is the win32-thread one, without std::thread).
mingw_args() {
  local gcc=/usr/lib/gcc/x86_64-w64-mingw32/12-posix
  printf '%s\n' --target=x86_64-w64-mingw32 -nostdinc++ "-isystem$gcc/include/c++" \
    "-isystem$gcc/include/c++/x86_64-w64-mingw32" "-isystem$gcc/include/c++/backward"
}

# One compile database over the given trees, each source once: what clang-tidy needs to see every
# use of a name, in whichever tree it is compiled.
merge_databases() {  # OUT_DIR TREE...
  local out=$1; shift
  mkdir -p "$out"
  /usr/bin/python3 - "$out" "$root" "$(mingw_args | paste -sd' ')" "$@" <<'EOF'
import json, shlex, sys
out, root, mingw, trees = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
seen, merged = set(), []
for tree in trees:
    for entry in json.load(open(f"{tree}/compile_commands.json")):
        source = entry["file"]
        if not source.startswith(root + "/") or source in seen or not source.endswith((".c", ".cpp")):
            continue
        seen.add(source)
        args = entry.get("arguments") or shlex.split(entry["command"])
        if "mingw32" in args[0]:
            args = ["clang++"] + shlex.split(mingw) + args[1:]
        entry.pop("command", None)
        entry["arguments"] = args
        merged.append(entry)
json.dump(merged, open(f"{out}/compile_commands.json", "w"), indent=1)
print(f"{len(merged)} sources")
EOF
}

# Applies the renames clang-tidy suggests, each once. A replacement of anything but a name is
# left out: for a variable a lambda captures implicitly, clang-tidy 14 puts the new name in place
# of the capture default ("[&]" would become "[newName]").
apply_renames() {  # FIXES_YAML
  /usr/bin/python3 - "$1" <<'EOF'
import collections, os, re, sys, yaml
doc = yaml.safe_load(open(sys.argv[1])) or {}
edits = collections.defaultdict(set)
for diagnostic in doc.get("Diagnostics", []):
    for r in diagnostic.get("DiagnosticMessage", {}).get("Replacements", []) or []:
        # A header reached through a folder's include root (a link) is the same file.
        edits[os.path.realpath(r["FilePath"])].add((r["Offset"], r["Length"], r["ReplacementText"]))
skipped = 0
for path, replacements in edits.items():
    data = open(path, "rb").read()
    last = None
    for offset, length, text in sorted(replacements, reverse=True):
        original = data[offset:offset + length].decode()
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", original):
            skipped += 1
            continue
        if last is not None and offset + length > last:
            print(f"style: overlapping renames in {path} at {offset}", file=sys.stderr)
            continue
        data = data[:offset] + text.encode() + data[offset + length:]
        last = offset
    open(path, "wb").write(data)
print(f"style: renames in {len(edits)} files, {skipped} replacements of no name left out")
EOF
}

tidy_files_regex() { echo "^$root/(checkingservice|platform|store|guard|server|dialog|tools|tests|installer)/"; }

case $mode in
check)
  status=0
  echo "style: layout"
  layout=$(sources | xargs clang-format --dry-run -Werror 2>&1)
  if [ -n "$layout" ]; then
    grep -E 'error:' <<<"$layout" | head -40
    status=1
  fi
  echo "style: names"
  trees=()
  for t in build/native build/win64; do [ -f "$t/compile_commands.json" ] && trees+=("$t"); done
  if [ ${#trees[@]} -eq 0 ]; then echo "style: no compile commands (build the native tree first)"; exit 1; fi
  merge_databases build/style-check "${trees[@]}" || exit 1
  if ! run-clang-tidy -p build/style-check -j 2 -quiet -extra-arg=-w "$(tidy_files_regex)" >build/style-check/tidy.log 2>&1; then
    sed 's/\x1b\[[0-9;]*m//g' build/style-check/tidy.log | grep -E 'error:' | sort -u | head -40
    status=1
  fi
  exit $status
  ;;
fix)
  set -e
  # Trees of its own, so that nothing a build left behind decides what is renamed.
  for preset in native bench fuzz win64; do
    cmake --preset "$preset" -B "build/style-$preset" >/dev/null
  done
  cmake --build build/style-win64 --target pv_idl >/dev/null
  merge_databases build/style-fix build/style-native build/style-bench build/style-fuzz build/style-win64
  run-clang-tidy -p build/style-fix -j 2 -quiet -extra-arg=-w -export-fixes build/style-fix/fixes.yaml \
    "$(tidy_files_regex)" >build/style-fix/tidy.log 2>&1 || true
  apply_renames build/style-fix/fixes.yaml
  sources | xargs clang-format -i
  # What clang-tidy 14 cannot settle by itself is left for a hand, and "check" names it: a new
  # name that is also a type's (an accessor needs a verb), a variable a lambda captures
  # implicitly, one overload of an overload set, the uses of a type alias.
  echo "style: fixed; build every tree, run the tests, and settle what 'check' still names"
  ;;
*)
  echo "usage: scripts/style.sh check|fix" >&2
  exit 2
  ;;
esac
