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

# Card data comes from standard input, one line per "-" in command-line order.
refused "Luhn" 2 validate-card "${keys[@]}" --card-number - --bank-name B < <(printf '4111111111111112\n')
refused "short" 1 validate-card "${keys[@]}" --card-number - --bank-name B < <(printf '41111111\n')
refused "letters" 2 validate-card "${keys[@]}" --card-number - --bank-name B < <(printf '4111x11111111111\n')
card=(register-card "${keys[@]}" --transaction-type REGISTER_CARD_ACC_DETAIL
      --card-number - --expiry-month - --expiry-year - --cvv -)
refused "expiry" 3 "${card[@]}" < <(printf '5555555555554444\n13\n2031\n737\n')
refused "cvv" 4 "${card[@]}" < <(printf '5555555555554444\n12\n2031\n7373\n')

# A secret written on the command line is refused before anything else: exit 2, the option
# named with its - and @FILE forms, the value never repeated.
for option in --card-number --expiry-month --expiry-year --cvv --account-no; do
  args=(register-card "${keys[@]}" --transaction-type REGISTER_CARD_ACC_DETAIL)
  for secret in --card-number --expiry-month --expiry-year --cvv; do
    [ "$secret" = "$option" ] || args+=("$secret" -)
  done
  set +e; out=$("$TAVI" --quiet --server http://127.0.0.1:1 --store "$work/s.db" "${args[@]}" \
    "$option" 73737373 < /dev/null 2>&1); rc=$?; set -e
  if [ "$rc" != 2 ] || ! printf '%s' "$out" | grep -q -- "$option: a secret is not taken on the command line.*$option - .*$option @FILE" ||
     printf '%s' "$out" | grep -q 7373; then
    echo "FAILED: inline $option -> rc=$rc out=$out"; exit 1
  fi
  echo "ok: inline $option refused -> $out"
done
for cmd in "submit-credential --cred-type PIN --cred-value=73737373" "validate-otp --otp 73737373"; do
  set +e; out=$("$TAVI" --quiet $cmd 2>&1); rc=$?; set -e
  if [ "$rc" != 2 ] || ! printf '%s' "$out" | grep -q -- "a secret is not taken" || printf '%s' "$out" | grep -q 7373; then
    echo "FAILED: $cmd -> rc=$rc out=$out"; exit 1
  fi
  echo "ok: $cmd refused -> $out"
done

# Secrets from standard input, one line per "-" in command-line order, and from a private file.
refused "stdin order" 4 register-card "${keys[@]}" --transaction-type REGISTER_CARD_ACC_DETAIL \
  --cvv - --expiry-year - --card-number - --expiry-month - < <(printf '7373\n2031\n5555555555554444\n12\n')
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
  --card-number - --bank-name B < <(printf '4111111111111111\n')); rc=$?; set -e
printf '%s' "$out" | grep -q CardValidationError && { echo "FAILED: a valid card was refused: $out"; exit 1; }
[ "$rc" = 1 ] || { echo "FAILED: expected the request to fail: $out"; exit 1; }
echo "cli card check: all passed"
