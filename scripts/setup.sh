#!/usr/bin/env bash
# Makes sure the tools the build needs are here: cmake, g++, make, GoogleTest, ser2net (the
# network port's end-to-end tests serve a pseudo-terminal through it), and (for the
# thread-sanitizer build, the format and tidy checks, the coverage report and the package check)
# clang, clang-format, clang-tidy, gcovr, groff, dpkg-dev, file and lintian, and (for the Windows
# build, its packages and its tests under Wine) MinGW-w64, NSIS and Wine. As root on Debian it
# installs what is missing; otherwise it says what is missing and fails.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v ser2net >/dev/null 2>&1 || [ -x /usr/sbin/ser2net ] || need+=(ser2net)
if [ "${1:-}" = "--full" ]; then
    # The package check: groff for the manual pages, dpkg-shlibdeps and file for cpack, lintian
    # for the package.
    command -v groff >/dev/null 2>&1 || need+=(groff-base)
    command -v dpkg-shlibdeps >/dev/null 2>&1 || need+=(dpkg-dev)
    command -v lintian >/dev/null 2>&1 || need+=(lintian)
    command -v file >/dev/null 2>&1 || need+=(file)
    command -v clang++ >/dev/null 2>&1 || need+=(clang libclang-rt-dev)
    command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
    # The coverage report (scripts/coverage.sh).
    command -v gcovr >/dev/null 2>&1 || need+=(gcovr)
    command -v clang-tidy >/dev/null 2>&1 || need+=(clang-tidy)
    # The Windows build and its tests: MinGW-w64 (the -posix compiler, which has std::thread)
    # and Wine to run them.
    command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
    [ -d /usr/src/googletest/googletest ] || need+=(googletest)
    command -v wine >/dev/null 2>&1 || need+=(wine wine64)
    # The Windows installer: cpack's NSIS generator runs makensis.
    command -v makensis >/dev/null 2>&1 || need+=(nsis)
    # The key-sequence tests read the terminfo entries of common terminals (konsole, putty, kitty
    # ... come with ncurses-term; the base set has only xterm, rxvt-unicode, linux, screen, tmux).
    [ -f /usr/share/terminfo/k/konsole ] || need+=(ncurses-term)
    # The sanitizer and fuzzer runtimes come in a package of their own.
    if command -v clang++ >/dev/null 2>&1 &&
        ! echo 'int main() {}' | clang++ -x c++ -fsanitize=thread - -o /dev/null 2>/dev/null; then
        need+=(libclang-rt-dev)
    fi
fi

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "setup: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
else
    echo "setup: missing: ${need[*]}" >&2
    echo "setup: install them (for example: sudo apt-get install ${need[*]}) and run again" >&2
    exit 1
fi
