#!/usr/bin/env bash
# Builds everything and runs every test: the Windows build with its unit tests under Wine, and
# its ZIP and installer, installed and removed under Wine (scripts/windows-package.sh);
# unit and end-to-end tests in a plain build (the end-to-end ones include the Windows build
# under Wine), again under AddressSanitizer + UndefinedBehaviorSanitizer, and again under
# ThreadSanitizer (clang, which also checks the lock annotations at compile time); then a short
# run of each fuzz target (libFuzzer, ASan+UBSan), a short soak (bench/soak.sh), the format
# check, clang-tidy over the plain build's files (scripts/tidy.sh), the build, install and package
# as a user makes them (scripts/package.sh), and the line and branch coverage of the unit and
# native end-to-end tests (scripts/coverage.sh: it fails when a test fails, not on a figure).
#   bash scripts/test.sh          all of it
#   bash scripts/test.sh quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-all}"

# The layers go one way (docs/design.md): nothing below app/ includes app/; port/ and output/
# include no mode folder, output/ not even port/; packet/ and fileservice/ never include each other.
echo "=== layers"
if grep -rnE '#include "app/' port output fileservice packet sending platform ||
    grep -rnE '#include "(packet|fileservice|sending)/' port output ||
    grep -rnE '#include "port/' output ||
    grep -rnE '#include "fileservice/' packet ||
    grep -rnE '#include "packet/' fileservice; then
    echo "layers: the includes above go against the layers" >&2
    exit 1
fi
echo "layers: one way"
# Nor do the units inside the folders go in a circle (x.cpp with x.h uses y when it includes y.h).
python3 scripts/unit-circles.py

if [ "$mode" = quick ]; then
    bash scripts/setup.sh
    presets=(dev)
else
    bash scripts/setup.sh --full
    presets=(dev asan tsan)
fi
jobs="$(nproc 2>/dev/null || echo 2)"
results="$(mktemp)"
tidy_out="$(mktemp)"
tidy_pid=
trap '[ -z "$tidy_pid" ] || kill -- "-$tidy_pid" 2>/dev/null; rm -f "$results" "$tidy_out"' EXIT
# The steps without time-outs of their own (ctest gives each test one) are bounded too, by far more
# than they take, so that a step that hangs fails the run with its name rather than stall it.
# timeout(1) runs a step in a process group of its own, to end all of it, and Ctrl-C at a
# terminal would not reach that group: at a terminal, whoever waits can press it instead.
bounded() {
    local minutes=$1
    shift
    if [ -t 0 ]; then
        "$@"
        return
    fi
    local status=0
    timeout --kill-after=30 "${minutes}m" "$@" || status=$?
    [ "$status" -ne 124 ] || echo "test.sh: $* did not end within $minutes min" >&2
    return "$status"
}

# The Windows build first, so that the end-to-end tests of the builds below run it under Wine
# (they skip when it is not there).
win_exe="$PWD/build-windows/kivet32.exe"
if [ "$mode" != quick ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
    command -v wine >/dev/null 2>&1; then
    echo "=== windows: build"
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j "$jobs"
    echo "=== windows: tests (Wine)"
    # The Wine prefix is made once, before the tests are listed.
    bash scripts/wine-run.sh "$PWD/build-windows/wine" cmd /c exit
    ctest --preset windows -j "$jobs" | tee -a "$results"
    bounded 20 bash scripts/windows-package.sh
fi

for p in "${presets[@]}"; do
    echo "=== $p: build"
    cmake --preset "$p" -DKIVET_WIN_EXE="$win_exe" >/dev/null
    cmake --build --preset "$p" -j "$jobs"
    if [ "$p" = dev ] && [ "$mode" != quick ]; then
        # clang-tidy over the plain build's files, meanwhile, on the cores that the tests below
        # leave idle while they wait for their devices (at the lowest priority, so that they
        # keep theirs); its report is read after the format check.
        setsid nice -n 19 bash scripts/tidy.sh build >"$tidy_out" 2>&1 &
        tidy_pid=$!
    fi
    echo "=== $p: tests"
    # ThreadSanitizer's shadow memory wants the address space laid out the usual way.
    if [ "$p" = tsan ] && command -v setarch >/dev/null 2>&1; then
        setarch "$(uname -m)" -R ctest --preset "$p" -j "$jobs" | tee -a "$results"
    else
        ctest --preset "$p" -j "$jobs" | tee -a "$results"
    fi
    if [ "$p" = dev ]; then
        # The keyboard tests of both builds again, three times, with the CPU busy: three loops
        # on the cores (each bounded in time and ended by its pid), so that a key lost under
        # load shows here.
        echo "=== dev: keyboard tests under CPU load"
        load_pids=()
        for _ in 1 2 3; do
            timeout 600 sh -c 'while :; do :; done' &
            load_pids+=("$!")
        done
        set +e
        ctest --preset dev -L e2e -R '(^|\.)(Keyboard|HotKeys)\.' --repeat until-fail:3 \
            -j "$jobs" | tee -a "$results"
        load_status=$?
        set -e
        kill "${load_pids[@]}" 2>/dev/null || true
        wait "${load_pids[@]}" 2>/dev/null || true
        [ "$load_status" -eq 0 ] || exit "$load_status"
    fi
done

if [ "$mode" != quick ]; then
    # Each target from its seeds and dictionary, what earlier runs found kept in build-fuzz/.
    bounded $((20 + ${FUZZ_SECONDS:-10} / 15)) bash scripts/fuzz.sh "${FUZZ_SECONDS:-10}"
    # A short soak of the plain build's programs: transfers of both modes and directions over a
    # spoiled link, each judged on both sides, with the host's memory and descriptors watched.
    echo "=== soak"
    bounded 20 bash bench/soak.sh --build build --transfers 60
    echo "=== format"
    git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
    echo "format: clean"
    echo "=== tidy"
    tidy_status=0
    wait "$tidy_pid" || tidy_status=$?
    tidy_pid=
    cat "$tidy_out"
    [ "$tidy_status" -eq 0 ] || exit "$tidy_status"
    bounded 20 bash scripts/package.sh
    bounded 40 bash scripts/coverage.sh | tee -a "$results"
fi

echo "test.sh: $((SECONDS / 60)) min $((SECONDS % 60)) s"
# One line for all the builds' tests together.
awk '/tests passed, [0-9]+ tests failed out of/ {
        total += $NF; failed += $(NF - 4)
    }
    END { printf "tests: %d passed, %d failed\n", total - failed, failed }' "$results"
