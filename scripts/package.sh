#!/usr/bin/env bash
# Builds as a user would (Release, the default options), installs into a temporary prefix and
# checks the file list, checks the manual pages with groff, makes the Debian package and checks
# its contents and that the program runs from the unpacked package.
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
    share/doc/kivet32/README.md share/doc/kivet32/copyright share/doc/kivet32/devsim.md $docs \
    share/man/man1/devsim.1 share/man/man1/kivet32.1 share/man/man1/pasel32.1 | sort)
got=$(cd "$work/p" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
if [ "$got" != "$want" ]; then
    diff <(echo "$want") <(echo "$got") >&2 || true
    fail "installed files differ from the list (< wanted, > installed)"
fi
[ "$(readlink "$work/p/bin/pasel32")" = kivet32 ] || fail "bin/pasel32 is not a link to kivet32"
out=$("$work/p/bin/pasel32" /?) || fail "pasel32 /? failed"
[[ $out == "PASEL32 "* ]] || fail "pasel32 /? does not run as PASEL32"
echo "install: $(echo "$got" | wc -l) files as listed"

echo "=== manual pages"
# As installed: pasel32.1 sources man1/kivet32.1, found from the top of the manual tree.
for page in "$work"/p/share/man/man1/*.1; do
    name=man1/$(basename "$page")
    out=$(cd "$work/p/share/man" && groff -ww -z -man "$name" 2>&1) || fail "$name: $out"
    [ -z "$out" ] || fail "$name: groff warns: $out"
done
echo "man: groff -ww -z -man is silent on every page"

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
