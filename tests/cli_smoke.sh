#!/usr/bin/env bash
# End-to-end through the command-line tool against the sandbox run as its own process.
set -euo pipefail
TAVI=${1:?usage: cli_smoke.sh path/to/tavi}
work=$(mktemp -d)
cleanup() { touch "$work/go"; [ -n "${sbx_pid:-}" ] && kill "$sbx_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
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
usage() {  # usage PATTERN -- command...: exit 2, nothing on standard output, PATTERN on standard error
  local pattern=$1; shift 2
  set +e; out=$("$@" 2> "$work/err"); rc=$?; set -e
  if [ "$rc" != 2 ] || [ -n "$out" ] || ! grep -q -- "$pattern" "$work/err"; then
    echo "FAILED: $* -> rc=$rc out=$out err=$(cat "$work/err") (wanted rc=2, /$pattern/)"; exit 1
  fi
  echo "ok: $* -> $(head -n 1 "$work/err")"
}

expect 0 '"status":"retry"' -- t otp-status --txn-id DEMO-TXN-1
expect 0 '"registered":false' -- t check --mobile +15550100
expect 0 '"result":"done"' -- t register --session-key "$key" --mobile +15550100 --txn-id REG-1 --app-id com.example.cli
expect 0 '"status":0' -- t store set IS_REGISTERED true
expect 0 '"status":-25299' -- t store set IS_REGISTERED true
expect 0 '"value":"true"' -- t store get IS_REGISTERED
expect 0 '"registered":true' -- t check --mobile +15550100
# A check that could not ask says so beside "registered":false, and fails.
expect 1 '"registered":false,"error":{"domain":"TransportError"' -- \
  "$TAVI" --quiet --server http://127.0.0.1:1 --store "$work/client.db" check --mobile +15550100
expect 0 '"sessionKey"' -- t retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T-CLI-1 --bic BIC1 --instrument-type ACCOUNT
# Secrets come from standard input (one line per "-", in order) or from a file only its owner can
# read; they never appear on the command line.
keys=$(t retrieve-keys --msg-id M2 --transaction-type FINANCIAL_TXN --txn-id T-CLI-3 --bic BIC1 --instrument-type ACCOUNT)
field() { printf '%s' "$keys" | sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p"; }
cred=(submit-credential --txn-id T-CLI-3 --transaction-type FINANCIAL_TXN --cred-type PIN
      --bank-ki "$(field bankKi)" --public-key "$(field publicKey)" --session-key "$(field sessionKey)")
expect 0 '"success":true' -- t "${cred[@]}" --cred-value - < <(printf '1234\n')
expect 1 '"success":false' -- t "${cred[@]}" --cred-value - < <(printf '9999\n')
(umask 077; printf '1234\n' > "$work/pin")
expect 0 '"success":true' -- t "${cred[@]}" --cred-value "@$work/pin"
chmod 644 "$work/pin"
usage 'chmod 600' -- t "${cred[@]}" --cred-value "@$work/pin"
grep -q 1234 "$work/err" && { echo "FAILED: the secret reached an error message"; exit 1; }
# While the command waits for its line, its argv holds "-", never the PIN.
{ while [ ! -e "$work/go" ]; do sleep 0.05; done; printf '1234\n'; } |
  "$TAVI" --quiet --server "$url" --ca-file "$ca" --store "$work/client.db" "${cred[@]}" --cred-value - \
  > "$work/slow.out" & slow=$!
for _ in $(seq 1 100); do tr '\0' ' ' < "/proc/$slow/cmdline" | grep -q -- '--cred-value - ' && break; sleep 0.05; done
tr '\0' ' ' < "/proc/$slow/cmdline" | grep -q -- '--cred-value - ' || { echo "FAILED: argv not as given"; exit 1; }
touch "$work/go"
wait "$slow" && grep -q '"success":true' "$work/slow.out" || { echo "FAILED: $(cat "$work/slow.out")"; exit 1; }
echo "ok: the PIN read after the start -> $(cat "$work/slow.out")"

# The OTP: fetched, validated from standard input, then the status poll gets a real "stop" (exit 0).
challenge=$(t fetch-otp --transaction-type FINANCIAL_TXN --txn-id T-CLI-3 --instrument-type ACCOUNT --bic BIC1 --session-key "$(field sessionKey)")
ofield() { printf '%s' "$challenge" | sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p"; }
expect 0 '"success":true' -- t validate-otp --txn-id T-CLI-3 --transaction-type FINANCIAL_TXN --otp - \
  --bank-ki "$(field bankKi)" --public-key "$(field publicKey)" --session-key "$(field sessionKey)" \
  --action "$(ofield action)" --bic BIC1 --reference-id "$(ofield referenceId)" < <(printf '123456\n')
expect 0 '^{"status":"stop"}$' -- t otp-status --txn-id T-CLI-3

# A fault set on the running sandbox shapes the next answer of its endpoint, then is used up.
expect 0 '"ok":true' -- t sandbox-fault --endpoint retrieve-key --kind refusal --error-code SBX_TEST --times 1
expect 1 '"errorCode":"SBX_TEST"' -- t retrieve-keys --msg-id M3 --transaction-type FINANCIAL_TXN --txn-id T-CLI-4 --bic BIC1 --instrument-type ACCOUNT
expect 0 '"sessionKey"' -- t retrieve-keys --msg-id M4 --transaction-type FINANCIAL_TXN --txn-id T-CLI-4 --bic BIC1 --instrument-type ACCOUNT
# SIGINT while the answer is late cancels the operation at once: exit 1, and the error says the
# request may have reached the server.
expect 0 '"ok":true' -- t sandbox-fault --endpoint retrieve-key --kind delay --delay-ms 8000 --times 1
"$TAVI" --quiet --server "$url" --ca-file "$ca" --store "$work/client.db" retrieve-keys --msg-id M5 \
  --transaction-type FINANCIAL_TXN --txn-id T-CLI-5 --bic BIC1 --instrument-type ACCOUNT > "$work/int.out" & int=$!
sleep 1
sent=$(date +%s%N); kill -INT "$int"; set +e; wait "$int"; rc=$?; set -e
ms=$(( ($(date +%s%N) - sent) / 1000000 ))
if [ "$rc" != 1 ] || [ "$ms" -ge 1000 ] || ! grep -q '"code":12,.*"delivery":"mayHaveBeenReceived"' "$work/int.out"; then
  echo "FAILED: SIGINT -> rc=$rc after $ms ms, out=$(cat "$work/int.out")"; exit 1
fi
echo "ok: SIGINT during a late answer -> rc=1 after $ms ms: $(cat "$work/int.out")"

# The command line: global options after the command, unknown options named, numbers checked.
expect 0 '"registered":true' -- "$TAVI" check --mobile +15550100 --quiet --server "$url" --ca-file "$ca" --store "$work/client.db"
usage 'unknown option --txnid' -- "$TAVI" otp-status --txnid X
usage 'timeout-ms' -- "$TAVI" --timeout-ms -5 otp-status --txn-id X
usage 'deadline-ms' -- "$TAVI" otp-status --txn-id X --deadline-ms 0
usage '24 hours' -- "$TAVI" --timeout-ms 9223372036854775807 otp-status --txn-id X
usage '24 hours' -- "$TAVI" otp-status --txn-id X --deadline-ms 86400001
expect 0 '^tavi [0-9]' -- "$TAVI" --version

# The sandbox: a port out of range, or one already listening, is an error, never a second server.
usage '65535' -- "$TAVI" sandbox --port 99999
port=${url##*:}
set +e; timeout 10 "$TAVI" sandbox --port "$port" > /dev/null 2> "$work/err"; rc=$?; set -e
[ "$rc" = 1 ] && grep -q "in use" "$work/err" || { echo "FAILED: second sandbox on $port: rc=$rc $(cat "$work/err")"; exit 1; }
echo "ok: sandbox --port $port (in use) -> $(cat "$work/err")"

expect 0 '"value":null' -- t store get nothing-here
expect 0 '"status":-25300' -- t store delete nothing-here
expect 1 '"error"' -- "$TAVI" --quiet --server "$url" --store "$work/client.db" retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T-CLI-2 --bic BIC1 --instrument-type ACCOUNT
expect 2 '' -- "$TAVI" --quiet otp-status
# A poll that could not ask is a failure beside "stop"; a real "stop" from the server exits 0
# (tests/flow_otp_status_test.cpp and the demo).
expect 1 '"status":"stop","error":{"domain":"TransportError"' -- "$TAVI" --quiet --server http://127.0.0.1:1 otp-status --txn-id X

# The registered store is sealed: its raw bytes hold none of the session's values; a copy of the
# file alone does not open; rekey keeps the session; reset starts over.
expect 0 '"backend":"file","strength":"weak","formatVersion":2' -- t store status
taviid=$(t store get taviId | sed -n 's/.*"value":"\([^"]*\)".*/\1/p')
[ -n "$taviid" ] || { echo "FAILED: no taviId in the store"; exit 1; }
for f in "$work/client.db" "$work/client.db-wal"; do
  if [ -f "$f" ] && grep -a -q -F -e "$taviid" -e "+15550100" "$f"; then echo "FAILED: $f holds a session value in clear"; exit 1; fi
done
echo "ok: no session value in the raw store"
cp "$work/client.db" "$work/copy.db"
expect 1 'backend file' -- "$TAVI" --quiet --store "$work/copy.db" store status
expect 0 '"itemCount"' -- t store rekey
expect 0 "\"value\":\"$taviid\"" -- t store get taviId
expect 0 '"itemCount":0' -- t store reset
expect 0 '"value":null' -- t store get taviId
usage 'store-protection' -- "$TAVI" --store-protection
expect 1 'unknown storeProtection' -- "$TAVI" --quiet --store "$work/other.db" --store-protection sideways store status
echo "cli smoke: all passed"
