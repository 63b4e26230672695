#!/usr/bin/env bash
# Builds the coverage preset (gcc --coverage, -O0), runs its tests (the unit tests and the native
# end-to-end tests, not the Windows build's under Wine nor the fuzz targets) and reports the line
# and branch coverage of the product code by folder, as a table, with gcovr; the whole report,
# line by line, goes to build-coverage/coverage/index.html. It fails when the build, a test or
# gcovr fails, never on a percentage.
#   bash scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-coverage
command -v gcovr >/dev/null 2>&1 || {
    echo "coverage: gcovr is missing (bash scripts/setup.sh --full installs it)" >&2
    exit 1
}

echo "=== coverage: build"
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc 2>/dev/null || echo 2)"

echo "=== coverage: tests"
# The counts of an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
set +e
ctest --preset coverage -j "$(nproc 2>/dev/null || echo 2)"
tests_status=$?
set -e

echo "=== coverage: report"
# The product code: the system's folders, both platform layers' shared code and the Linux
# backend (the Windows one is not built here), and the device emulator. The fake backend is the
# unit tests' stand-in for the OS, not product code. Branches are those of the code as written:
# the exception edges the compiler adds to every call and the branches it proves dead are left
# out.
# A count that gcov cannot write sensibly is warned of, not a reason to stop (the counters are
# atomic, so there should be none): with workers, gcovr waits for ever after one of them failed.
mkdir -p "$build/coverage"
gcovr --gcov-ignore-parse-errors --root . --object-directory "$build" \
    -j "$(nproc 2>/dev/null || echo 2)" \
    --filter 'app/' --filter 'port/' --filter 'output/' --filter 'fileservice/' \
    --filter 'packet/' --filter 'sending/' --filter 'platform/' --filter 'tools/devsim/' \
    --exclude 'platform/fake/' \
    --exclude-throw-branches --exclude-unreachable-branches \
    --json-summary "$build/coverage/summary.json" \
    --html-details "$build/coverage/index.html" >/dev/null

# One line a folder (the deepest of the folders above that holds the file), and the total.
python3 - "$build/coverage/summary.json" <<'EOF'
import json, sys
folders = ["app", "port", "output", "fileservice", "packet", "sending", "platform",
           "platform/posix", "tools/devsim"]
sums = {f: [0, 0, 0, 0] for f in folders}
for f in json.load(open(sys.argv[1]))["files"]:
    name = f["filename"]
    folder = max((d for d in folders if name.startswith(d + "/")), key=len)
    s = sums[folder]
    s[0] += f["line_covered"]; s[1] += f["line_total"]
    s[2] += f["branch_covered"]; s[3] += f["branch_total"]
sums["total"] = [sum(s[i] for s in sums.values()) for i in range(4)]
pct = lambda a, b: f"{100.0 * a / b:5.1f} %" if b else "    -  "
print(f"{'folder':<16}{'lines':>16}{'line %':>9}{'branches':>16}{'branch %':>10}")
for name, (lc, lt, bc, bt) in sums.items():
    print(f"{name:<16}{f'{lc} / {lt}':>16}{pct(lc, lt):>9}{f'{bc} / {bt}':>16}{pct(bc, bt):>10}")
EOF
echo "coverage: the lines, file by file: $build/coverage/index.html"
exit "$tests_status"
