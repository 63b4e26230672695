#!/usr/bin/env bash
# Static analysis: clang-tidy with the checks of .clang-tidy (tests/.clang-tidy for the tests)
# over every file the Linux build compiles, the system, the platform layer (platform/win32/ is
# built by MinGW only and is not checked), the device emulator and the tests. Any finding fails
# (WarningsAsErrors). docs/design.md, "Static analysis", says why each check is on or off.
#   bash scripts/tidy.sh [build-dir [regex]]    build dir default: build (the dev preset,
#                                               configured if need be); regex: only the files
#                                               whose path it matches (packet/, tests/e2e/)
# TIDY_JOBS sets the parallel runs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
files="${2:-.*}"
jobs="${TIDY_JOBS:-2}"
if [ ! -f "$build/compile_commands.json" ]; then
    cmake --preset dev >/dev/null
fi

# One entry a file: the platform's common files are built twice (real and fake backends), and
# clang-tidy would check a file once for each entry.
db="$build/tidy"
mkdir -p "$db"
python3 - "$build/compile_commands.json" "$db/compile_commands.json" "$PWD" <<'EOF'
import json, os, sys
src, dst, root = sys.argv[1], sys.argv[2], sys.argv[3]
folders = ("app", "port", "output", "fileservice", "packet", "sending", "platform", "tools",
           "tests")
seen, out = set(), []
for e in json.load(open(src)):
    path = os.path.normpath(os.path.join(e["directory"], e["file"]))
    rel = os.path.relpath(path, root)
    if rel.split(os.sep)[0] not in folders or rel.startswith("platform/win32/"):
        continue
    if path not in seen:
        seen.add(path)
        out.append(e)
json.dump(out, open(dst, "w"), indent=1)
print(f"tidy: {len(out)} files")
EOF

# g++ options clang does not know (-Wno-restrict) are not findings. run-clang-tidy comes with
# Debian's clang-tidy (scripts/setup.sh --full).
runner="$(command -v run-clang-tidy || command -v run-clang-tidy-14 || true)"
if [ -z "$runner" ]; then
    echo "tidy: run-clang-tidy not found (install clang-tidy)" >&2
    exit 1
fi
log="$db/tidy.log"
status=0
"$runner" -p "$db" -j "$jobs" -quiet -extra-arg=-Wno-unknown-warning-option "$files" \
    >"$log" 2>"$log.err" || status=$?
sed -i 's/\x1b\[[0-9;]*m//g' "$log"

# A header's finding shows once for each file that includes it: each is listed once.
findings="$(grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$log" | sort -u || true)"
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
    cat "$log"
    grep -v -E 'warnings? (and [0-9]+ errors? )?generated|^Suppressed|^Use -header-filter|^$' \
        "$log.err" >&2 || true
    echo "tidy: $(printf '%s' "$findings" | grep -c . || true) findings" >&2
    exit 1
fi
echo "tidy: clean"
