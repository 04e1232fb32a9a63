#!/usr/bin/env bash
# The README's command-line walk-through, run exactly as written: the shell block between the
# walkthrough markers, from a directory where build/tavi is the tool under test.
set -euo pipefail
TAVI=${1:?usage: readme_walkthrough.sh path/to/tavi path/to/README.md}
README=${2:?usage: readme_walkthrough.sh path/to/tavi path/to/README.md}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

block=$(awk '/<!-- walkthrough:end -->/ {on = 0} on && !/^```/ {print} /<!-- walkthrough:begin -->/ {on = 1}' "$README")
[ -n "$block" ] || { echo "FAILED: no walk-through between the markers in $README"; exit 1; }
mkdir "$work/build"
ln -s "$(readlink -f "$TAVI")" "$work/build/tavi"

# The block's own `kill %1` stops the sandbox; the traps stop it too when a command fails.
set +e
out=$(cd "$work" && TMPDIR=$work timeout 90 bash -c "set -eo pipefail
trap 'kill %1 2>/dev/null; exit 1' TERM INT
trap 'kill %1 2>/dev/null || true' EXIT
$block" 2> "$work/stderr")
rc=$?
set -e
printf '%s\n' "$out"
if [ "$rc" != 0 ]; then echo "FAILED: the walk-through stopped (rc=$rc)"; cat "$work/stderr"; exit 1; fi
want='{"result":"done"}
{"status":-25300}
{"status":0}
{"registered":true}'
[ "$out" = "$want" ] || { echo "FAILED: wanted"; printf '%s\n' "$want"; cat "$work/stderr"; exit 1; }
echo "ok: the README's walk-through runs as written"
