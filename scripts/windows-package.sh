#!/usr/bin/env bash
# Makes the Windows packages (cpack in build-windows/: the ZIP and the installer) and checks them:
# the ZIP's files, the programs' imports (no MinGW runtime DLLs) and manifest, the text files'
# line ends; then, under Wine in a prefix of its own (build-windows/wine-package), two silent
# installs, each followed by a silent uninstall that must leave nothing behind: one with the
# defaults (Program Files, PATH left alone), one in another folder with the folder added to PATH.
# After each install the Start-menu console's folder and command are read and the command run.
#   bash scripts/windows-package.sh     after the Windows build (scripts/test.sh runs it)
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in x86_64-w64-mingw32-g++-posix makensis wine; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "windows-package: skipped, no $tool (bash scripts/setup.sh --full installs it)"
        exit 0
    fi
done

fail() {
    echo "windows-package: $*" >&2
    exit 1
}

build="build-windows"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "=== windows packages: cpack"
cmake --preset windows >/dev/null
rm -f "$build"/kivet32-*-win64.zip "$build"/kivet32-*-win64.exe
(cd "$build" && cpack >/dev/null)
zip=$(ls "$build"/kivet32-*-win64.zip)
setup=$(ls "$build"/kivet32-*-win64.exe)

top=$(basename "$zip" .zip)
files=(LICENSE.txt README.txt kivet32.exe pasel32.exe)
want=$(for f in "${files[@]}"; do echo "$top/$f"; done | sort)
got=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
if [ "$got" != "$want" ]; then
    diff <(echo "$want") <(echo "$got") >&2 || true
    fail "$zip holds other files than the list (< wanted, > found)"
fi
unzip -q "$zip" -d "$work"
cmp -s "$work/$top/kivet32.exe" "$work/$top/pasel32.exe" || fail "pasel32.exe is not kivet32.exe"
if x86_64-w64-mingw32-objdump -p "$work/$top/kivet32.exe" | grep 'DLL Name: lib'; then
    fail "kivet32.exe needs the MinGW runtime DLLs above: it is not linked statically"
fi
grep -qF '<ws2:longPathAware>true</ws2:longPathAware>' "$work/$top/kivet32.exe" ||
    fail "kivet32.exe carries no manifest that makes it long-path aware"
for f in README.txt LICENSE.txt; do
    if grep -qv $'\r$' "$work/$top/$f"; then
        fail "$f has lines without CRLF: Notepad shows them as one"
    fi
done
echo "zip: $(basename "$zip"), ${files[*]}; static; long-path aware; CRLF text"

echo "=== windows packages: install and uninstall under Wine"
prefix="$PWD/$build/wine-package"
# A run that stopped half-way may have left an install behind: begin again with a new prefix.
if [ -e "$prefix.dirty" ]; then
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
fi
touch "$prefix.dirty"
win() {
    bash scripts/wine-run.sh "$prefix" "$@" </dev/null | tr -d '\r'
}
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kivet32'
system_path() {
    win reg query "$env_key" /v PATH | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}
lnk="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/kivet32.lnk"
path_before=$(system_path)
[ -n "$path_before" ] || fail "no system PATH in the Wine prefix"

# installed DIR(Windows) DIR(Linux): the files, the Start-menu entry, the entry in Apps.
installed() {
    [ -d "$2" ] || fail "nothing installed in $1"
    got=$(cd "$2" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
    want=$(printf '%s\n' "${files[@]}" Uninstall.exe | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "$1 holds $got, not $want"
    cmp -s "$2/LICENSE.txt" "$work/$top/LICENSE.txt" || fail "$1\\LICENSE.txt is not the licence"
    out=$(win "$1\\pasel32.exe" /?)
    [[ $out == "PASEL32 "* ]] || fail "$1\\pasel32.exe /? does not run as PASEL32: $out"
    [ -f "$lnk" ] || fail "no Start-menu entry kivet32.lnk"
    # The console: in the user's Documents, the folder first on its PATH; its command, run there
    # from a batch file (Wine's command line would escape its quotes), shows the usage. (strings
    # shows a string's length before it when that is a printable character: no whole matches.)
    console="set \"PATH=$1;%PATH%\" & kivet32.exe /?"
    strings -el "$lnk" | grep -qF -- "/K $console" || fail "kivet32.lnk does not run cmd /K $console"
    strings -el "$lnk" | grep -qF '%USERPROFILE%\Documents' ||
        fail "kivet32.lnk does not start in the user's Documents"
    printf '@cd /d "%%USERPROFILE%%\\Documents" && %s\r\n' "$console" >"$work/console.cmd"
    out=$(win cmd /c "Z:${work//\//\\}\\console.cmd") || true
    [[ $out == "KIVET32 "*"Options:"* ]] || fail "the console's command shows no usage: $out"
    win reg query "$uninst_key" /v UninstallString | grep -qF "\"$1\\Uninstall.exe\"" ||
        fail "no entry in Apps that uninstalls $1"
}
# uninstalled DIR(Windows) DIR(Linux): Uninstall.exe /S, run as Settings runs it. It hands over to
# a copy of itself and returns at once; the folder goes last, so the rest is done once it is gone.
uninstalled() {
    win "$1\\Uninstall.exe" /S
    for _ in $(seq 1 100); do
        [ -e "$2" ] || break
        sleep 0.2
    done
    [ ! -e "$2" ] || fail "$1 is still there after the uninstall: $(ls "$2")"
    [ ! -e "$lnk" ] || fail "the Start-menu entry is still there after the uninstall"
    if win reg query "$uninst_key" >/dev/null 2>&1; then
        fail "the entry in Apps is still there after the uninstall"
    fi
    [ "$(system_path)" = "$path_before" ] || fail "PATH after the uninstall: $(system_path)"
}

dir='C:\Program Files\kivet32'
unix_dir="$prefix/drive_c/Program Files/kivet32"
win "$setup" /S
installed "$dir" "$unix_dir"
out=$(win "$dir\\kivet32.exe" /?)
[[ $out == *"Options:"*"Hot keys:"* ]] || fail "kivet32.exe /? prints no usage: $out"
[ "$(system_path)" = "$path_before" ] || fail "a silent install without /PATH changed PATH"
uninstalled "$dir" "$unix_dir"
echo "default: $dir, usage shown, PATH left alone; uninstalled without a trace"

dir='C:\kivet32-test'
unix_dir="$prefix/drive_c/kivet32-test"
win "$setup" /S /PATH "/D=$dir"
installed "$dir" "$unix_dir"
[ "$(system_path)" = "$path_before;$dir" ] || fail "/PATH: PATH is $(system_path)"
out=$(win cmd /c "cd \\ && kivet32 /?")
[[ $out == "KIVET32 "*"Options:"* ]] || fail "kivet32 is not found on PATH: $out"
uninstalled "$dir" "$unix_dir"
echo "/PATH /D: $dir, on PATH for a new console; uninstalled, PATH as before"

# A PATH longer than the installer's strings hold (1024 characters) is left as it is, not cut.
path_first=$path_before
long_path="$path_before$(printf ';C:\\Tools\\t%03d' $(seq 1 100))"
win reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$long_path" /f >/dev/null
path_before=$long_path
win "$setup" /S /PATH "/D=$dir"
installed "$dir" "$unix_dir"
[ "$(system_path)" = "$long_path" ] || fail "/PATH changed a long PATH: $(system_path)"
uninstalled "$dir" "$unix_dir"
echo "/PATH with a PATH of ${#long_path} characters: left as it is"
win reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$path_first" /f >/dev/null
rm -f "$prefix.dirty"
