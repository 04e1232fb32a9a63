#!/usr/bin/env bash
# Checks the Debian packages `make package` built, without installing anything into the machine:
# their contents and control fields, lintian (no errors), the shared library's exports, and the
# examples built against the -dev package's files unpacked into a scratch root (CMake package and
# pkg-config), run against the packaged `tavi sandbox`; the Python examples with python3-tavi from
# that root, and with the package pip-installed offline into a virtual environment (and a wheel).
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
runtime=$(deb libtavi1); dev=$(deb libtavi-dev); tools=$(deb tavi-tools); py=$(deb python3-tavi)
[ -f "$runtime" ] && [ -f "$dev" ] && [ -f "$tools" ] && [ -f "$py" ] || fail "packages missing in $build/packages"
# ---- Packages of another architecture (make package ARCH=arm64) --------------------------------
# Their binaries are read with that architecture's binutils and run under qemu-user; the examples
# (built with the machine's own compiler) are not built against them.
arch=$(dpkg-deb -f "$runtime" Architecture)
foreign=""
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  case "$arch" in
    arm64) triple=aarch64-linux-gnu; foreign=qemu-aarch64-static ;;
    armhf) triple=arm-linux-gnueabihf; foreign=qemu-arm-static ;;
    *) fail "no emulator known for $arch packages" ;;
  esac
  command -v "$foreign" > /dev/null || fail "$foreign is needed to check $arch packages"
  nm() { command "$triple-nm" "$@"; }
  readelf() { command "$triple-readelf" "$@"; }
  size() { command "$triple-size" "$@"; }
  echo "checking $arch packages (programs run under $foreign)"
fi
# ---- end of packages of another architecture -------------------------------------------------
for p in "$runtime" "$dev" "$tools" "$py"; do echo "$(basename "$p"): $(stat -c %s "$p") bytes"; done

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
expect_files "$tools" usr/bin/tavi usr/libexec/tavi/tavi-sandbox usr/share/man/man1/tavi\.1\.gz \
  usr/share/doc/tavi-tools/copyright \
  usr/share/doc/tavi-tools/changelog\.Debian\.gz
pydir=usr/lib/python3/dist-packages/tavi
expect_files "$py" "$pydir/__init__\.py" "$pydir/_native\.py" "$pydir/client\.py" "$pydir/py\.typed" \
  usr/share/doc/python3-tavi/examples/flow\.py usr/share/doc/python3-tavi/copyright \
  usr/share/doc/python3-tavi/changelog\.Debian\.gz
dpkg-deb -c "$py" | awk '{print $6}' | grep -Eq '\.(so|pyc)|/bin/|include/' && fail "python3-tavi holds compiled files"
[ "$(dpkg-deb -f "$py" Architecture)" = all ] || fail "python3-tavi is not Architecture: all"
dpkg-deb -f "$py" Depends | grep -q "libtavi1 (>= " || fail "python3-tavi does not depend on libtavi1"
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
# The library and its development files of two architectures install side by side: both are
# Multi-Arch: same, and every file either holds lies in the multiarch directory or is one that is
# the same for every architecture (the headers, the package's own documentation).
for p in "$runtime" "$dev"; do
  name=$(dpkg-deb -f "$p" Package)
  [ "$(dpkg-deb -f "$p" Multi-Arch)" = same ] || fail "$name is not Multi-Arch: same"
  shared=$(dpkg-deb -c "$p" | awk '{print $6}' | grep -v '/$' \
    | grep -Ev "^\./($multi/|usr/include/tavi/[^/]+\.h(pp)?\$|usr/share/doc/$name/)" || true)
  [ -z "$shared" ] || fail "$name (Multi-Arch: same) holds files outside the multiarch directory: $shared"
done
# What `apt install ./….deb` would do, simulated: every dependency resolves. The machine's own
# packages against its installed system; another architecture's on an empty system of that
# architecture (an Architecture: all package's dependencies are the native architecture's, so
# python3-tavi cannot pair with a foreign libtavi1 here), from the package lists apt already has.
if [ -z "$foreign" ]; then
  apt-get install -s "$runtime" "$dev" "$tools" "$py" > "$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; fail "apt cannot install the packages"; }
else
  : > "$work/dpkg-status"
  apt-get install -s -o Dir::State::status="$work/dpkg-status" -o Dir::Cache::pkgcache= \
    -o Dir::Cache::srcpkgcache= -o APT::Architecture="$arch" -o APT::Architectures::="$arch" \
    "$runtime" "$dev" "$tools" "$py" > "$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; fail "apt cannot install the packages on an empty $arch system"; }
  grep -q "^Inst libc6 .*\[$arch\]" "$work/apt.log" \
    || { cat "$work/apt.log"; fail "apt has no $arch package lists (dpkg --add-architecture $arch; apt-get update)"; }
fi
echo "ok: contents and dependencies (apt install simulated), libtavi1 and libtavi-dev Multi-Arch: same"

# Lintian: warnings are shown, errors fail. The debug symbol packages (-dbgsym) too.
mapfile -t ddebs < <(ls "$build"/packages/*-dbgsym_"$version"-*.ddeb 2>/dev/null)
rc=0; lintian --fail-on error "$runtime" "$dev" "$tools" "$py" "${ddebs[@]}" > "$work/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ "$rc" = 0 ] || fail "lintian reports errors"
echo "ok: lintian (no errors; ${#ddebs[@]} debug symbol packages included)"

# The files as installed, in a scratch root.
root=$work/root
for p in "$runtime" "$dev" "$tools" "$py"; do dpkg-deb -x "$p" "$root"; done
lib=$(find "$root/usr/lib" -name "libtavi.so.$version")
libdir=$(dirname "$lib")
readelf -d "$lib" | grep -q 'SONAME.*\[libtavi\.so\.1\]' || fail "SONAME is not libtavi.so.1"
file -L "$lib" "$root/usr/bin/tavi" "$root/usr/libexec/tavi/tavi-sandbox" | grep -q 'not stripped' && fail "a packaged binary is not stripped"
readelf -d "$lib" "$root/usr/bin/tavi" "$root/usr/libexec/tavi/tavi-sandbox" | grep -Eq 'RPATH|RUNPATH' && fail "a packaged binary has an RPATH"
exports=$(nm -D --defined-only "$lib" | wc -l)
nm -DC --defined-only "$lib" | grep -Eq 'nlohmann|tavi::detail|simdjson' && fail "libtavi.so exports internals"
others=$(nm -DC --defined-only "$lib" | cut -d' ' -f3- \
  | grep -Ev '^(tavi_|tavi::|(typeinfo|typeinfo name|vtable) for tavi::)' || true)
[ -z "$others" ] || fail "libtavi.so exports more than the API: $others"
grep -q "#define TAVI_VERSION_STRING \"$version\"" "$root/usr/include/tavi/version.hpp" || fail "version.hpp"
echo "ok: SONAME libtavi.so.1, stripped, $exports exported symbols, no internals"

# ---- Hardening: the packaged library and tool, each flag (packaging/hardening.sh) -------------
"$here/packaging/hardening.sh" "$lib" "$root/usr/bin/tavi" "$root/usr/libexec/tavi/tavi-sandbox" || fail "a packaged binary is not hardened"
# ---- end of hardening ----------------------------------------------------------------------------
# ---- Size budget ---------------------------------------------------------------------------------
# The stripped libtavi.so as packaged is at most its architecture's budget (packaging/size-budget.sh;
# TAVI_SIZE_BUDGET overrides it). What each part costs: the sections (size -A) and the largest
# functions and tables of the unstripped build (nm --size-sort), summed by where they come from.
budget=$("$here/packaging/size-budget.sh" "$arch")
lib_bytes=$(stat -c %s "$lib")
echo "libtavi.so.$version ($arch, stripped): $lib_bytes bytes, budget $budget"
size -A "$lib" | awk 'NR > 2 && $2 > 4096 { printf "  section %-20s %8d\n", $1, $2 }'
unstripped=$(ls "$build"/lib/libtavi.so."$version" 2>/dev/null || true)
if [ -n "$unstripped" ]; then
  nm -C --size-sort -S -t d "$unstripped" | awk '
    { n = $2 + 0; name = ""; for (i = 4; i <= NF; ++i) name = name " " $i
      part = "tavi (own code)"
      if (name ~ /nlohmann/) part = "nlohmann-json instances"
      else if (name ~ /simdjson/) part = "simdjson instances"
      else if (name ~ /\.actor\]|\.destroy\]|Frame\*/) part = "coroutine bodies"
      else if (name ~ /^ std::|^ void std::|^ bool std::|^ __gnu_cxx/) part = "standard library instances"
      else if (name ~ /_Function_handler|std::function/) part = "std::function bodies"
      sum[part] += n }
    END { for (p in sum) printf "  part    %-28s %8d\n", p, sum[p] }' | sort -k3 -nr
  echo "  largest symbols:"
  nm -C --size-sort -S -t d "$unstripped" | tail -n 15 \
    | awk '{ printf "    %7d %s\n", $2 + 0, substr($0, index($0, $4), 110) }'
fi
[ "$lib_bytes" -le "$budget" ] || fail "libtavi.so is $lib_bytes bytes, over its budget of $budget"
echo "ok: size budget"
if [ -n "$foreign" ]; then
  # tavi hands demo over to tavi-sandbox with exec, which would run it without the emulator.
  "$foreign" "$root/usr/libexec/tavi/tavi-sandbox" demo > "$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "tavi demo under $foreign"; }
  echo "ok: the packaged tavi demo (under $foreign)"
  echo "skipped: the examples (built with the machine's compiler, which cannot link $arch libraries)"
  echo "package-check: all passed ($arch)"
  exit 0
fi
# ---- end of size budget ---------------------------------------------------------------------------

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
# ---- Size budget: a minimal host linking libtavi.a, without and with --gc-sections ------------
cc -o "$work/flow_gc" -Wl,--gc-sections "$here/examples/flow.c" $(pkg-config --cflags --static tavi) \
  "$libdir/libtavi.a" $(pkg-config --static --libs tavi | sed 's/\(^\| \)-ltavi\( \|$\)/ /') \
  || fail "libtavi.a with --gc-sections"
strip -o "$work/flow_archive.stripped" "$work/flow_pc_archive"
strip -o "$work/flow_gc.stripped" "$work/flow_gc"
echo "examples/flow.c linked with libtavi.a, stripped: $(stat -c %s "$work/flow_archive.stripped") bytes;" \
  "with -Wl,--gc-sections: $(stat -c %s "$work/flow_gc.stripped") bytes"
# ---- end of size budget: a minimal host -----------------------------------------------------------
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
run flow_libtavi_a_gc_sections "$work/flow_gc" "$url" "$key" "$ca" "$work/gc.db"  # size budget
# Python: the packaged module (finding libtavi.so.1 on the loader's path) and its examples.
pyex=$root/usr/share/doc/python3-tavi/examples
pyrun=(env -u TAVI_LIBRARY PYTHONDONTWRITEBYTECODE=1 LD_LIBRARY_PATH="$libdir")
run python_flow "${pyrun[@]}" PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 \
  "$pyex/flow.py" "$url" "$key" "$ca" "$work/py.db"
run python_async "${pyrun[@]}" PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 \
  "$pyex/async_calls.py" "$url" "$key" "$ca" "$work/py-async.db"
# pip, offline, with Debian's setuptools (hence --no-build-isolation), into a virtual environment;
# then a wheel with python3-build. Each from a copy of python/ (a build writes into its tree).
cp -r "$here/python" "$work/pysrc"; cp -r "$here/python" "$work/pywheel"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
run pip_install "$work/venv/bin/pip" install --no-index --no-build-isolation --no-cache-dir "$work/pysrc"
run pip_flow "${pyrun[@]}" "$work/venv/bin/python" "$pyex/flow.py" "$url" "$key" "$ca" "$work/pip.db"
run wheel /usr/bin/python3 -m build --no-isolation --wheel --outdir "$work/dist" "$work/pywheel"
whl=$(ls "$work"/dist/tavi-"$version"-py3-none-any.whl) || fail "no wheel tavi-$version"
grep -q 'tavi/py.typed' <<< "$(/usr/bin/python3 -m zipfile -l "$whl")" || fail "the wheel lacks py.typed"
echo "ok: python3-tavi and pip install ./python run the Python examples; wheel $(basename "$whl")"
echo "package-check: all passed"
