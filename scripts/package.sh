#!/usr/bin/env bash
# Builds as a user would (Release, the default options), installs into a temporary prefix and
# checks the file list, checks the manual pages with groff, makes the Debian package and checks
# its contents and that the program runs from the unpacked package, and runs lintian on it when
# lintian is there.
#   bash scripts/package.sh            build-release/, the package left there
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "package: $*" >&2
    exit 1
}

build=build-release
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "=== release: build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

echo "=== release: install"
cmake --install "$build" --prefix "$work/p" >/dev/null
docs=$(for f in docs/*.md; do echo "share/doc/kivet32/$(basename "$f")"; done)
want=$(printf '%s\n' bin/devsim bin/kivet32 bin/pasel32 \
    share/bash-completion/completions/kivet32 share/bash-completion/completions/pasel32 \
    share/doc/kivet32/README.md share/doc/kivet32/changelog.Debian.gz share/doc/kivet32/changelog.gz \
    share/doc/kivet32/copyright share/doc/kivet32/devsim.md $docs \
    share/lintian/overrides/kivet32 \
    share/man/man1/devsim.1.gz share/man/man1/kivet32.1.gz share/man/man1/pasel32.1.gz | sort)
got=$(cd "$work/p" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
if [ "$got" != "$want" ]; then
    diff <(echo "$want") <(echo "$got") >&2 || true
    fail "installed files differ from the list (< wanted, > installed)"
fi
[ "$(readlink "$work/p/bin/pasel32")" = kivet32 ] || fail "bin/pasel32 is not a link to kivet32"
man1="$work/p/share/man/man1"
[ "$(readlink "$man1/pasel32.1.gz")" = kivet32.1.gz ] || fail "pasel32.1.gz is not a link to kivet32.1.gz"
out=$("$work/p/bin/pasel32" /?) || fail "pasel32 /? failed"
[[ $out == "PASEL32 "* ]] || fail "pasel32 /? does not run as PASEL32"
echo "install: $(echo "$got" | wc -l) files as listed"

echo "=== manual pages"
# As installed, compressed; the version in each .TH line is the project's.
version=$(sed -n 's/^project(kivet32 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for page in "$man1"/*.1.gz; do
    name=man1/$(basename "$page")
    out=$(gzip -dc "$page" | groff -ww -z -man 2>&1) || fail "$name: $out"
    [ -z "$out" ] || fail "$name: groff warns: $out"
    gzip -dc "$page" | grep -q "^\.TH .* \"kivet32 $version\"" || fail "$name: .TH is not version $version"
done
echo "man: groff -ww -z -man is silent on every page, each of version $version"

echo "=== debian package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/kivet32_*.deb | head -n 1)
dpkg-deb -c "$deb" | awk '{ $2 = $3 = $4 = $5 = ""; print }' | tr -s ' '
for field in Package Version Maintainer Description Depends; do
    dpkg-deb -f "$deb" "$field" | grep -q . || fail "$deb: no $field field"
done
dpkg-deb -f "$deb" Package Version Depends
listed=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$' | sed 's|^\./usr/||' | sort)
[ "$listed" = "$want" ] || fail "$deb holds other files than the install"
dpkg-deb -x "$deb" "$work/x"
out=$("$work/x/usr/bin/kivet32" /?) || fail "the packaged kivet32 /? failed"
[[ $out == "KIVET32 "* ]] || fail "the packaged kivet32 does not run as KIVET32"
echo "deb: $(basename "$deb") with every installed file"

echo "=== lintian"
# Debian's package checker, when it is here (scripts/setup.sh --full installs it): no error and
# no warning; its notes (I:) are shown, not failed on.
if command -v lintian >/dev/null 2>&1; then
    out=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges') || true
    [ -z "$out" ] || echo "$out"
    if echo "$out" | grep -q '^[EW]: '; then
        fail "lintian reports errors or warnings on $(basename "$deb")"
    fi
    echo "lintian: no error and no warning"
else
    echo "lintian: not installed, the package not checked by it"
fi
