#!/usr/bin/env bash
# Builds the Debian packages from a release tree, checks what each one holds, unpacks them into a
# scratch root (dpkg -x), builds a C host program against that root with pkg-config and with CMake
# find_package, runs both and the packaged tools under the packaged launcher, and runs lintian
# (errors fail) when it is installed.
# Usage: deb_test.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=$1
work=$2
fail() { echo "FAIL: $*"; exit 1; }
rel=$work/release
root=$work/root
mkdir -p "$work"
rm -rf "$root" "$work"/host-* "$work"/*.deb

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$src" -B "$rel" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DOSTRANE_BUILD_BENCHMARKS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}" >/dev/null \
    || fail "configure"
cmake --build "$rel" --target OstraneCommsUSB ostrane-cli ostrane-virtual-board ostrane-manpages >/dev/null \
    || fail "build"
(cd "$rel" && rm -f ./*.deb && cpack -G DEB >/dev/null) || fail "cpack"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$rel/CMakeCache.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
runtime=$rel/libostranecommsusb0_${version}_${arch}.deb
dev=$rel/libostranecommsusb-dev_${version}_${arch}.deb
tools=$rel/ostrane-tools_${version}_${arch}.deb
python=$rel/python3-ostrane_${version}_all.deb
for deb in "$runtime" "$dev" "$tools" "$python"; do [ -f "$deb" ] || fail "missing $deb (have: $(ls "$rel"/*.deb))"; done

holds() {  # <deb> <path regex>...
    local deb=$1; shift
    local list
    list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
    for want in "$@"; do
        grep -Eq "^$want$" <<<"$list" || fail "$(basename "$deb") lacks $want: $list"
    done
}
holds "$runtime" "/usr/lib/$multiarch/libOstraneCommsUSB\.so\.0" "/usr/lib/$multiarch/libOstraneCommsUSB\.so\.$version" \
    /lib/udev/rules.d/60-ostrane.rules /usr/share/doc/libostranecommsusb0/copyright
holds "$dev" "/usr/lib/$multiarch/libOstraneCommsUSB\.so" /usr/include/ostrane/OstraneCommsUSB.h \
    /usr/include/ostrane/ft60x.h "/usr/lib/$multiarch/pkgconfig/OstraneCommsUSB\.pc" \
    "/usr/lib/$multiarch/cmake/OstraneCommsUSB/OstraneCommsUSBConfig\.cmake"
holds "$tools" /usr/bin/ostrane-cli /usr/bin/ostrane-virtual-board \
    /usr/share/man/man1/ostrane-virtual-board\.1\.gz
holds "$python" /usr/lib/python3/dist-packages/ostrane/__init__\.py /usr/lib/python3/dist-packages/ostrane/py\.typed \
    /usr/share/doc/python3-ostrane/copyright
for page in "$src"/tools/*/*.1; do
    [ -f "$page" ] && holds "$tools" "/usr/share/man/man1/$(basename "$page")\.gz"
done
# The library is in the runtime package only: no second copy elsewhere.
dpkg-deb -c "$dev" "$tools" "$python" 2>/dev/null | grep -q 'libOstraneCommsUSB\.so\.0' && fail "library packaged twice"
dpkg-deb -f "$dev" Depends | grep -q "libostranecommsusb0 (= $version)" || fail "dev Depends: $(dpkg-deb -f "$dev" Depends)"
dpkg-deb -f "$tools" Depends | grep -q "umockdev" || fail "tools Depends: $(dpkg-deb -f "$tools" Depends)"
dpkg-deb -f "$python" Depends | grep -q "libostranecommsusb0 (= $version)" || fail "python Depends: $(dpkg-deb -f "$python" Depends)"

for deb in "$runtime" "$dev" "$tools" "$python"; do dpkg -x "$deb" "$root" || fail "dpkg -x $deb"; done
export LD_LIBRARY_PATH=$root/usr/lib/$multiarch
vboard=$root/usr/bin/ostrane-virtual-board

# pkg-config, as the README shows it; the sysroot maps /usr of the .pc file into the scratch root.
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/usr/lib/$multiarch/pkgconfig:/usr/lib/$multiarch/pkgconfig:/usr/share/pkgconfig \
    pkg-config --cflags --libs OstraneCommsUSB) || fail "pkg-config"
grep -q -- "-I$root/usr/include" <<<"$flags" || fail "pkg-config cflags: $flags"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Werror "$src/tests/packaging/host/host.c" $flags -o "$work/host-pkgconfig" || fail "pkg-config build"

cmake -S "$src/tests/packaging/host" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null \
    || fail "find_package configure"
cmake --build "$work/host-cmake" >/dev/null || fail "find_package build"
grep -q "$root/usr/lib/$multiarch/libOstraneCommsUSB.so" "$work/host-cmake/build.ninja" \
    || fail "find_package did not link the packaged library"

for host in "$work/host-pkgconfig" "$work/host-cmake/host"; do
    out=$("$vboard" --boards 1 -- "$host") || fail "$host under the launcher: $out"
    [ "$out" = 'host: 1 board(s), reply "ping"' ] || fail "$host: $out"
done
out=$("$vboard" --boards 2 -- "$root/usr/bin/ostrane-cli" list) || fail "packaged ostrane-cli list"
[ "$(grep -c 'Q.V. Ostrane SDI Adapter' <<<"$out")" = 2 ] || fail "packaged list: $out"
# The packaged Python package finds the packaged library as the system would (here through
# LD_LIBRARY_PATH), with no variable of its own.
out=$(env -u OSTRANE_LIBRARY PYTHONPATH="$root/usr/lib/python3/dist-packages" "$vboard" -- /usr/bin/python3 -c '
import ostrane; ch = ostrane.Channel(0); ch.send(b"ping")
print(ostrane.__file__, ostrane.list_boards()[0].serial, ch.receive(4, timeout=5))') || fail "packaged python: $out"
[ "$out" = "$root/usr/lib/python3/dist-packages/ostrane/__init__.py VB0001 b'"'ping'"'" ] || fail "packaged python: $out"
zcat "$root/usr/share/man/man1/ostrane-virtual-board.1.gz" | grep -q '^\.TH OSTRANE-VIRTUAL-BOARD 1' || fail "manual page"

if command -v lintian >/dev/null; then
    report=$(lintian --no-tag-display-limit "$runtime" "$dev" "$tools" "$python" 2>&1)
    echo "$report" | grep -c '^[WI]:' | sed 's/^/lintian warnings and notes: /'
    grep '^E:' <<<"$report" && fail "lintian errors"
else
    echo "lintian not installed: skipped"
fi
echo "deb_test: ok ($(basename "$runtime") $(basename "$dev") $(basename "$tools") $(basename "$python"))"
