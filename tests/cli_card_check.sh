#!/usr/bin/env bash
# The command-line tool refuses obviously wrong card data before any request (the server given is
# unreachable, so a request would end in a TransportError instead), and never prints the number.
set -euo pipefail
TAVI=${1:?usage: cli_card_check.sh path/to/tavi}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=(--session-key K --bank-ki KI --public-key PK --txn-id T1 --bic BIC1)

refused() {  # refused WHAT CODE command...
  local what=$1 code=$2; shift 2
  set +e; out=$("$TAVI" --quiet --server http://127.0.0.1:1 --store "$work/s.db" "$@"); rc=$?; set -e
  if [ "$rc" != 1 ] || ! printf '%s' "$out" | grep -q "\"domain\":\"CardValidationError\",\"code\":$code"; then
    echo "FAILED: $what -> rc=$rc out=$out"; exit 1
  fi
  if printf '%s' "$out" | grep -qE '41111111|55555555|7373'; then echo "FAILED: $what printed card data: $out"; exit 1; fi
  echo "ok: $what -> $out"
}

refused "Luhn" 2 validate-card "${keys[@]}" --card-number 4111111111111112 --bank-name B
refused "short" 1 validate-card "${keys[@]}" --card-number 41111111 --bank-name B
refused "letters" 2 validate-card "${keys[@]}" --card-number 4111x11111111111 --bank-name B
refused "expiry" 3 register-card "${keys[@]}" --transaction-type REGISTER_CARD_ACC_DETAIL \
  --card-number 5555555555554444 --expiry-month 13 --expiry-year 2031 --cvv 737
refused "cvv" 4 register-card "${keys[@]}" --transaction-type REGISTER_CARD_ACC_DETAIL \
  --card-number 5555555555554444 --expiry-month 12 --expiry-year 2031 --cvv 7373

# Secrets from standard input, one line per "-" in command-line order, and from a private file.
refused "stdin order" 4 register-card "${keys[@]}" --transaction-type REGISTER_CARD_ACC_DETAIL \
  --cvv - --card-number - --expiry-month 12 --expiry-year 2031 < <(printf '7373\n5555555555554444\n')
(umask 077; printf '4111111111111112\n' > "$work/card")
refused "private file" 2 validate-card "${keys[@]}" --card-number "@$work/card" --bank-name B
chmod 640 "$work/card"
set +e; out=$("$TAVI" --quiet validate-card "${keys[@]}" --card-number "@$work/card" --bank-name B 2>&1); rc=$?; set -e
if [ "$rc" != 2 ] || ! printf '%s' "$out" | grep -q "chmod 600" || printf '%s' "$out" | grep -q 41111111; then
  echo "FAILED: a group-readable card file -> rc=$rc out=$out"; exit 1
fi
echo "ok: group-readable file refused -> $out"

# A well-formed card goes on to the request (here: the unreachable server).
set +e; out=$("$TAVI" --quiet --server http://127.0.0.1:1 --store "$work/s.db" validate-card "${keys[@]}" \
  --card-number 4111111111111111 --bank-name B); rc=$?; set -e
printf '%s' "$out" | grep -q CardValidationError && { echo "FAILED: a valid card was refused: $out"; exit 1; }
[ "$rc" = 1 ] || { echo "FAILED: expected the request to fail: $out"; exit 1; }
echo "cli card check: all passed"
