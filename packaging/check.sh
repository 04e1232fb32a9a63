#!/usr/bin/env bash
# Checks the Debian packages `make package` built, without installing anything into the machine:
# their contents and control fields, lintian (no errors), the shared library's exports, and the
# examples built against the -dev package's files unpacked into a scratch root (CMake package and
# pkg-config), run against the packaged `tavi sandbox`.
#   packaging/check.sh BUILD_DIR      (the build `make package` used)
set -euo pipefail
build=$(cd "${1:?usage: check.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
cleanup() { [ -n "${sbx_pid:-}" ] && kill "$sbx_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

deb() { ls "$build"/packages/"$1"_"$version"-*_*.deb 2>/dev/null | head -n 1; }
runtime=$(deb libtavi1); dev=$(deb libtavi-dev); tools=$(deb tavi-tools)
[ -f "$runtime" ] && [ -f "$dev" ] && [ -f "$tools" ] || fail "packages missing in $build/packages"
for p in "$runtime" "$dev" "$tools"; do echo "$(basename "$p"): $(stat -c %s "$p") bytes"; done

# Contents: each package holds what it should, and its copyright file and changelog.
expect_files() {  # expect_files DEB REGEX...
  local deb=$1; shift
  local list; list=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for re in "$@"; do
    grep -Eq "^\./$re\$" <<< "$list" || { printf '%s\n' "$list"; fail "$(basename "$deb") lacks $re"; }
  done
}
multi='usr/lib/[a-z0-9_]+-linux-gnu[a-z]*'
expect_files "$runtime" "$multi/libtavi\.so\.1" "$multi/libtavi\.so\.$version" \
  usr/share/doc/libtavi1/copyright usr/share/doc/libtavi1/changelog\.Debian\.gz
expect_files "$dev" "$multi/libtavi\.so" "$multi/libtavi\.a" usr/include/tavi/tavi\.hpp \
  usr/include/tavi/tavi\.h usr/include/tavi/export\.hpp usr/include/tavi/version\.hpp \
  "$multi/cmake/tavi/tavi-config\.cmake" "$multi/cmake/tavi/tavi-config-version\.cmake" \
  "$multi/cmake/tavi/tavi-targets\.cmake" "$multi/cmake/tavi/tavi-static-targets\.cmake" \
  "$multi/pkgconfig/tavi\.pc" usr/share/doc/libtavi-dev/copyright \
  usr/share/doc/libtavi-dev/changelog\.Debian\.gz
expect_files "$tools" usr/bin/tavi usr/share/man/man1/tavi\.1\.gz usr/share/doc/tavi-tools/copyright \
  usr/share/doc/tavi-tools/changelog\.Debian\.gz
if dpkg-deb -c "$runtime" | awk '{print $6}' | grep -Eq 'include/|\.a$|/bin/'; then
  fail "libtavi1 holds development files or programs"
fi
if dpkg-deb -c "$tools" | awk '{print $6}' | grep -Eq 'include/|/lib/'; then
  fail "tavi-tools holds library files"
fi
dpkg-deb -f "$dev" Depends | grep -q "libtavi1 (= $version-" || fail "libtavi-dev does not depend on its libtavi1"
for d in libcurl4 libssl3 libsqlite3-0 libsimdjson14; do
  dpkg-deb -f "$runtime" Depends | grep -q "$d" || fail "libtavi1 does not depend on $d"
done
# What `apt install ./….deb` would do, simulated: every dependency resolves.
apt-get install -s "$runtime" "$dev" "$tools" > "$work/apt.log" 2>&1 \
  || { cat "$work/apt.log"; fail "apt cannot install the packages"; }
echo "ok: contents and dependencies (apt install simulated)"

# Lintian: warnings are shown, errors fail.
rc=0; lintian --fail-on error "$runtime" "$dev" "$tools" > "$work/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ "$rc" = 0 ] || fail "lintian reports errors"
echo "ok: lintian (no errors)"

# The files as installed, in a scratch root.
root=$work/root
for p in "$runtime" "$dev" "$tools"; do dpkg-deb -x "$p" "$root"; done
lib=$(find "$root/usr/lib" -name "libtavi.so.$version")
libdir=$(dirname "$lib")
readelf -d "$lib" | grep -q 'SONAME.*\[libtavi\.so\.1\]' || fail "SONAME is not libtavi.so.1"
file -L "$lib" "$root/usr/bin/tavi" | grep -q 'not stripped' && fail "a packaged binary is not stripped"
readelf -d "$lib" "$root/usr/bin/tavi" | grep -Eq 'RPATH|RUNPATH' && fail "a packaged binary has an RPATH"
exports=$(nm -D --defined-only "$lib" | wc -l)
nm -DC --defined-only "$lib" | grep -Eq 'nlohmann|tavi::detail|simdjson' && fail "libtavi.so exports internals"
others=$(nm -DC --defined-only "$lib" | cut -d' ' -f3- \
  | grep -Ev '^(tavi_|tavi::|(typeinfo|typeinfo name|vtable) for tavi::)' || true)
[ -z "$others" ] || fail "libtavi.so exports more than the API: $others"
grep -q "#define TAVI_VERSION_STRING \"$version\"" "$root/usr/include/tavi/version.hpp" || fail "version.hpp"
echo "ok: SONAME libtavi.so.1, stripped, $exports exported symbols, no internals"

# ---- Hardening: the packaged library and tool, each flag (packaging/hardening.sh) -------------
"$here/packaging/hardening.sh" "$lib" "$root/usr/bin/tavi" || fail "a packaged binary is not hardened"
# ---- end of hardening ----------------------------------------------------------------------------

# The examples, as a separate project: CMake package from the scratch root.
gen=(); command -v ninja > /dev/null && gen=(-G Ninja)
cmake -S "$here/examples" -B "$work/build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "examples: configure"; }
cmake --build "$work/build" -j 2 > "$work/build.log" 2>&1 || { cat "$work/build.log"; fail "examples: build"; }
# pkg-config, the root's .pc file seen through the sysroot: shared, `--static`, and libtavi.a
# itself with what Libs.private lists.
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion tavi)" = "$version" ] || fail "pkg-config version"
cc -o "$work/flow_pc" "$here/examples/flow.c" $(pkg-config --cflags --libs tavi) || fail "pkg-config link"
cc -o "$work/flow_pc_static_flags" "$here/examples/flow.c" $(pkg-config --cflags --static --libs tavi) \
  || fail "pkg-config --static link"
cc -o "$work/flow_pc_archive" "$here/examples/flow.c" $(pkg-config --cflags --static tavi) \
  "$libdir/libtavi.a" $(pkg-config --static --libs tavi | sed 's/\(^\| \)-ltavi\( \|$\)/ /') \
  || fail "libtavi.a with pkg-config's Libs.private"
readelf -d "$work/flow_pc_archive" | grep -q 'libtavi\.so' && fail "the archive link used libtavi.so"
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_PATH
echo "ok: examples built (CMake package, pkg-config shared, --static, and libtavi.a)"

# ---- A consumer that sets no C++ standard: the package's targets carry C++20 ----------------
cmake -S "$here/packaging/consumer" -B "$work/consumer" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" > "$work/consumer.log" 2>&1 \
  && cmake --build "$work/consumer" >> "$work/consumer.log" 2>&1 \
  || { cat "$work/consumer.log"; fail "a consumer that sets no C++ standard does not build"; }
grep -rEq -- '-std=(c|gnu)\+\+(20|2a)' "$work/consumer/build.ninja" "$work/consumer/CMakeFiles" 2>/dev/null \
  || fail "the consumer was not compiled as C++20"
LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer" > /dev/null || fail "the consumer does not run"
PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --variable=cxxstd tavi \
  | grep -qx -- '-std=c++20' || fail "tavi.pc does not say which C++ standard the headers need"
echo "ok: a consumer that sets no C++ standard builds (C++20 from the package)"
# ---- end of the consumer check ---------------------------------------------------------------

# The packaged tool: the whole flow against its own sandbox, then the examples against it.
"$root/usr/bin/tavi" demo > "$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "tavi demo"; }
echo "ok: the packaged tavi demo"
if "$root/usr/bin/tavi" --version > "$work/version.out" 2>&1; then
  grep -q "$version" "$work/version.out" || fail "tavi --version: $(cat "$work/version.out")"
fi
"$root/usr/bin/tavi" sandbox --tls --state "$work/state" > "$work/sandbox.out" 2> "$work/sandbox.err" &
sbx_pid=$!
for _ in $(seq 1 150); do [ -s "$work/sandbox.out" ] && break; sleep 0.1; done
first=$(head -n 1 "$work/sandbox.out")
url=$(printf '%s' "$first" | sed -n 's/.*"url":"\([^"]*\)".*/\1/p')
key=$(printf '%s' "$first" | sed -n 's/.*"serverPublicKey":"\([^"]*\)".*/\1/p')
ca=$(printf '%s' "$first" | sed -n 's/.*"caFile":"\([^"]*\)".*/\1/p')
[ -n "$url" ] && [ -n "$key" ] && [ -f "$ca" ] || { cat "$work/sandbox.err"; fail "sandbox did not start: $first"; }
run() {  # run NAME command...
  local name=$1; shift
  "$@" > "$work/$name.log" 2>&1 || { cat "$work/$name.log"; fail "$name"; }
  echo "ok: ran $name"
}
run register "$work/build/register" "$url" "$key" "$ca" "$work/cpp.db"
run transaction "$work/build/transaction" "$url" "$key" "$ca" "$work/cpp.db"
run transaction_static "$work/build/transaction_static" "$url" "$key" "$ca" "$work/cpp.db"
run flow_pkg_config env LD_LIBRARY_PATH="$libdir" "$work/flow_pc" "$url" "$key" "$ca" "$work/pc.db"
run flow_libtavi_a "$work/flow_pc_archive" "$url" "$key" "$ca" "$work/a.db"
echo "package-check: all passed"
