#!/usr/bin/env bash
# scripts/demo.sh: try the host program against the device emulator, in this terminal.
#   bash scripts/demo.sh          KIVET mode: kivet32 with time stamps, device speaks KIVET
#   bash scripts/demo.sh pasel    PASEL mode: pasel32, device speaks PASEL
# Builds build/kivet32 and build/devsim when needed, fills demo/ with sample files (the PC
# side; demo/device/ is the device's own directory), starts the emulator in the background
# and runs the host against it. At the device prompt try: help, get hello.txt, cat hello.txt,
# put notes.txt, flood 20, ls; F1 shows the host's status; End leaves (the emulator follows).
set -euo pipefail

mode=${1:-kivet}
case "$mode" in
kivet) host=kivet32 ;;
pasel) host=pasel32 ;;
*)
    echo "usage: bash scripts/demo.sh [kivet|pasel]" >&2
    exit 2
    ;;
esac

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
demo="$root/demo"

# Configure build/ when it has no cache (or, to pick up the emulator, no devsim yet), then build
# both programs; cmake --build does nothing when they are up to date.
build_programs() {
    bash "$root/scripts/setup.sh"  # the tools the build needs, installed as root on Debian
    if [ ! -f "$build/CMakeCache.txt" ]; then
        echo "demo: configuring $build"
        if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null; then
            # The unit tests need GoogleTest; the demo does not.
            echo "demo: configuring again without the tests"
            cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVET_TESTS=OFF \
                >/dev/null
        fi
    elif [ ! -x "$build/devsim" ]; then
        cmake -S "$root" -B "$build" >/dev/null  # keeps the settings build/ has
    fi
    echo "demo: building kivet32 and devsim (a minute or two the first time)"
    cmake --build "$build" -j2 --target kivet32 devsim >/dev/null
}

# Sample files: the PC side in demo/, the device side in demo/device/.
make_files() {
    rm -rf "$demo"
    mkdir -p "$demo/device"
    printf 'Hello from the PC!\nThis file lives in demo/ and is read by the device.\n' \
        >"$demo/hello.txt"
    local i
    for ((i = 1; i <= 3000; i++)); do  # 3000 lines of 68 bytes: about 200 KB
        printf 'line %05d of big.txt, 200 KB of text to show the progress line....\n' "$i"
    done >"$demo/big.txt"
    printf 'Notes kept on the device.\nput notes.txt sends this file to the PC (demo/).\n' \
        >"$demo/device/notes.txt"
}

build_programs
make_files
cd "$demo"

# At the pace of a real line: get big.txt then takes about 17 s, with the progress line moving.
"$build/devsim" --mode "$mode" --baud 115200 --dir device --port-file devsim.port \
    >devsim.out 2>&1 &
devsim_pid=$!
trap 'kill "$devsim_pid" 2>/dev/null || true' EXIT

for ((i = 0; i < 50; i++)); do
    [ -s devsim.port ] && break
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
done
if [ ! -s devsim.port ]; then
    echo "demo: the emulator did not start; its output:" >&2
    cat devsim.out >&2
    exit 1
fi
port=$(cat devsim.port)

cat <<TEXT
demo: device emulator on /dev/$port at 115200 baud, speaking $mode; files: demo/ (PC), demo/device/.
demo: at the device prompt try: help, get hello.txt, cat hello.txt, put notes.txt,
demo: get big.txt, flood 20, ls. F1: the host's status and hot keys; End: quit.
TEXT

status=0
"$build/$host" /TIMESTAMP "$port" 115200 demo.log || status=$?

# The emulator ends when the host closes the port; the trap ends it if it did not.
for ((i = 0; i < 20; i++)); do
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
done
echo "demo: host log in demo/demo.log, emulator log in demo/devsim.out"
exit "$status"
