#!/usr/bin/env bash
# End-to-end through the command-line tool against the sandbox run as its own process.
set -euo pipefail
TAVI=${1:?usage: cli_smoke.sh path/to/tavi}
work=$(mktemp -d)
cleanup() { [ -n "${sbx_pid:-}" ] && kill "$sbx_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

"$TAVI" sandbox --tls --state "$work/state" > "$work/sandbox.out" 2> "$work/sandbox.err" &
sbx_pid=$!
for _ in $(seq 1 100); do [ -s "$work/sandbox.out" ] && break; sleep 0.1; done
first=$(head -n 1 "$work/sandbox.out")
url=$(printf '%s' "$first" | sed -n 's/.*"url":"\([^"]*\)".*/\1/p')
key=$(printf '%s' "$first" | sed -n 's/.*"serverPublicKey":"\([^"]*\)".*/\1/p')
ca=$(printf '%s' "$first" | sed -n 's/.*"caFile":"\([^"]*\)".*/\1/p')
[ -n "$url" ] && [ -n "$key" ] && [ -f "$ca" ] || { echo "sandbox did not start: $first"; cat "$work/sandbox.err"; exit 1; }

t() { "$TAVI" --quiet --server "$url" --ca-file "$ca" --store "$work/client.db" "$@"; }
expect() {  # expect EXIT_CODE PATTERN -- command...
  local want=$1 pattern=$2; shift 3
  set +e; out=$("$@"); rc=$?; set -e
  if [ "$rc" != "$want" ] || { [ -n "$pattern" ] && ! printf '%s' "$out" | grep -q -- "$pattern"; }; then
    echo "FAILED: $* -> rc=$rc out=$out (wanted rc=$want, /$pattern/)"; exit 1
  fi
  echo "ok: $* -> $out"
}

expect 0 '"status":"retry"' -- t otp-status --txn-id DEMO-TXN-1
expect 0 '"registered":false' -- t check --mobile +15550100
expect 0 '"result":"done"' -- t register --session-key "$key" --mobile +15550100 --txn-id REG-1 --app-id com.example.cli
expect 0 '"status":0' -- t store set IS_REGISTERED true
expect 0 '"status":-25299' -- t store set IS_REGISTERED true
expect 0 '"value":"true"' -- t store get IS_REGISTERED
expect 0 '"registered":true' -- t check --mobile +15550100
expect 0 '"sessionKey"' -- t retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T-CLI-1 --bic BIC1 --instrument-type ACCOUNT
expect 0 '"value":null' -- t store get nothing-here
expect 0 '"status":-25300' -- t store delete nothing-here
expect 1 '"error"' -- "$TAVI" --quiet --server "$url" --store "$work/client.db" retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T-CLI-2 --bic BIC1 --instrument-type ACCOUNT
expect 2 '' -- "$TAVI" --quiet otp-status
expect 0 '"status":"stop"' -- "$TAVI" --quiet --server http://127.0.0.1:1 otp-status --txn-id X
echo "cli smoke: all passed"
