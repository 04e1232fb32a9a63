#!/usr/bin/env bash
# Installs tavi from a build tree into a temporary prefix, builds examples/ against it as a
# separate project (CMake package and pkg-config), starts the sandbox as its own process, and runs
# every example against it: C++ (shared and static), C, and Python with the installed tavi package
# (its blocking calls, and awaited calls from asyncio, one of them cancelled).
#   examples/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cleanup() { [ -n "${sbx_pid:-}" ] && kill "$sbx_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
libdir=$(dirname "$(find "$work/prefix" -name 'libtavi.so' | head -n 1)")
[ -n "$libdir" ] && [ -f "$libdir/pkgconfig/tavi.pc" ] || { echo "install incomplete"; exit 1; }
if grep -rqE '#include <(curl|openssl|sqlite3|nlohmann|simdjson)' "$work/prefix/include"; then
  echo "an installed header includes a dependency's header"; exit 1
fi
gen=(); command -v ninja > /dev/null && gen=(-G Ninja)
cmake -S "$here" -B "$work/build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j 2 > "$work/build.log" || { cat "$work/build.log"; exit 1; }
# pkg-config: the C example compiled and linked with nothing but the .pc file.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -o "$work/flow_pc" "$here/flow.c" $(pkg-config --cflags --libs tavi)
echo "ok: installed, examples built (CMake package and pkg-config $(pkg-config --modversion tavi))"

"$build/tavi" sandbox --tls --state "$work/state" > "$work/sandbox.out" 2> "$work/sandbox.err" &
sbx_pid=$!
for _ in $(seq 1 100); do [ -s "$work/sandbox.out" ] && break; sleep 0.1; done
first=$(head -n 1 "$work/sandbox.out")
url=$(printf '%s' "$first" | sed -n 's/.*"url":"\([^"]*\)".*/\1/p')
key=$(printf '%s' "$first" | sed -n 's/.*"serverPublicKey":"\([^"]*\)".*/\1/p')
ca=$(printf '%s' "$first" | sed -n 's/.*"caFile":"\([^"]*\)".*/\1/p')
[ -n "$url" ] && [ -n "$key" ] && [ -f "$ca" ] || { echo "sandbox did not start: $first"; cat "$work/sandbox.err"; exit 1; }

run() {  # run NAME command...
  local name=$1; shift
  if ! out=$("$@" 2>&1); then echo "FAILED: $name"; printf '%s\n' "$out"; exit 1; fi
  printf 'ok: %s\n%s\n' "$name" "$(printf '%s' "$out" | sed 's/^/    /')"
}
b=$work/build
run register "$b/register" "$url" "$key" "$ca" "$work/cpp.db"
run transaction "$b/transaction" "$url" "$key" "$ca" "$work/cpp.db"
run transaction_static "$b/transaction_static" "$url" "$key" "$ca" "$work/cpp.db"
run otp_status "$b/otp_status" "$url" "$key" "$ca" "$work/cpp.db"
run trace_spans "$b/trace_spans" "$url" "$key" "$ca" "$work/cpp.db"
# Each span is one JSON line: ids of 32 and 16 hex digits, a call's HTTP attempts its children.
spans=$("$b/trace_spans" "$url" "$key" "$ca" "$work/cpp.db")
printf '%s\n' "$spans" | python3 -c '
import json, re, sys
spans = [json.loads(line) for line in sys.stdin if line.strip()]
roots = {s["span_id"] for s in spans if s["parent_span_id"] == ""}
assert len(roots) == 2 and len(spans) >= 4, spans
for s in spans:
    assert re.fullmatch("[0-9a-f]{32}", s["trace_id"]) and re.fullmatch("[0-9a-f]{16}", s["span_id"]), s
    assert s["parent_span_id"] in roots | {""} and s["start_time_unix_nano"] <= s["end_time_unix_nano"], s
    if s["parent_span_id"]:
        assert s["attributes"]["http.request.method"] and s["attributes"]["url.path"].startswith("/"), s
        assert "?" not in s["attributes"]["url.path"] and s["attributes"]["server.port"] > 0, s
' || { echo "FAILED: trace_spans output"; printf '%s\n' "$spans"; exit 1; }
run flow_c "$b/flow_c" "$url" "$key" "$ca" "$work/c.db"
run flow_pkg_config env LD_LIBRARY_PATH="$libdir" "$work/flow_pc" "$url" "$key" "$ca" "$work/pc.db"
# The Python package as installed (python component), finding libtavi.so.1 on the loader's path.
pyenv=(env -u TAVI_LIBRARY PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$work/prefix/lib/python3/dist-packages"
       LD_LIBRARY_PATH="$libdir")
pyex=$work/prefix/share/doc/python3-tavi/examples
run python "${pyenv[@]}" /usr/bin/python3 "$pyex/flow.py" "$url" "$key" "$ca" "$work/py.db"
run python_async "${pyenv[@]}" /usr/bin/python3 "$pyex/async_calls.py" "$url" "$key" "$ca" "$work/py-async.db"
echo "examples: all passed"
