#!/usr/bin/env bash
# The project's binaries pass packaging/hardening.sh, and the check fails on a binary built
# without each protection (so that package-check cannot pass an unhardened package).
#   hardening_check.sh HARDENING_SH CXX BINARY...
set -euo pipefail
check=$1; cxx=$2; shift 2
"$check" "$@"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cat > "$work/probe.cpp" <<'CPP'
#include <cstdio>
#include <cstring>
int main(int argc, char** argv) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %d", argv[0], argc);
    std::memcpy(buffer, argv[0], std::strlen(argv[0]) < 8 ? std::strlen(argv[0]) : 8);
    std::puts(buffer);
    return 0;
}
CPP
hardened="-O2 -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fPIE -pie -Wl,-z,relro,-z,now"
# name | flags | what the check must name
rows=(
  "hardened|$hardened|"
  "lazy binding|${hardened/-z,now/-z,lazy}|BIND_NOW"
  "no stack protector|$hardened -fno-stack-protector|stack protector"
  "no FORTIFY|$hardened -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=0|FORTIFY"
  "no PIE|-O2 -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fno-PIE -no-pie -Wl,-z,relro,-z,now|PIE"
  "nothing|-O0 -fno-stack-protector -no-pie -fno-PIE -Wl,-z,lazy|BIND_NOW, no PIE, no stack protector, no FORTIFY"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name flags want <<< "$row"
  # shellcheck disable=SC2086
  "$cxx" $flags -o "$work/probe" "$work/probe.cpp"
  if out=$("$check" "$work/probe" 2>&1); then
    [ -z "$want" ] || { echo "FAILED: the check passed a binary with $name: $out"; exit 1; }
  else
    [ -n "$want" ] || { echo "FAILED: the check refused a hardened binary: $out"; exit 1; }
    grep -q "no $want" <<< "$out" || { echo "FAILED: for $name the check says: $out"; exit 1; }
  fi
  echo "ok: $name"
done
