#!/usr/bin/env bash
# Checks that each ELF file named is hardened as the project builds it (what Debian's
# hardening=+all gives), from its program headers, dynamic section and imported symbols:
#   full RELRO   a GNU_RELRO segment and immediate binding (BIND_NOW)
#   PIE          an executable that is position independent (libraries always are)
#   stack        __stack_chk_fail imported (-fstack-protector-strong)
#   FORTIFY      at least one __*_chk function imported (-D_FORTIFY_SOURCE=2)
#   CET          on x86-64, reported when the IBT/SHSTK property is present (not required: the
#                system's start files decide whether the linked file keeps it)
# Exits 1 naming every file and what it lacks.
#   packaging/hardening.sh FILE...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: hardening.sh FILE..." >&2; exit 2; }
bad=0
for f in "$@"; do
  lacks=()
  headers=$(readelf -lW "$f" 2>/dev/null) || { echo "FAILED: $f is not an ELF file"; bad=1; continue; }
  dynamic=$(readelf -dW "$f")
  imports=$(readelf --dyn-syms -W "$f" | awk '$7 == "UND" {print $8}' | sed 's/@.*//')
  grep -q 'GNU_RELRO' <<< "$headers" || lacks+=("RELRO")
  grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<< "$dynamic" || lacks+=("BIND_NOW")
  if ! grep -q '(SONAME)' <<< "$dynamic"; then
    grep -Eq 'Elf file type is DYN' <<< "$headers" || lacks+=("PIE")
  fi
  grep -qx '__stack_chk_fail' <<< "$imports" || lacks+=("stack protector")
  grep -Eqx '__[a-z0-9_]+_chk' <<< "$imports" || lacks+=("FORTIFY")
  extra=""
  if [ "$(uname -m)" = x86_64 ] && readelf -nW "$f" | grep -q 'IBT, SHSTK'; then extra=", CET"; fi
  if [ ${#lacks[@]} -gt 0 ]; then
    echo "FAILED: $f is not hardened: no $(IFS=,; echo "${lacks[*]}" | sed 's/,/, no /g')"
    bad=1
  else
    echo "ok: $f hardened (RELRO, BIND_NOW, PIE, stack protector, FORTIFY$extra)"
  fi
done
exit $bad
