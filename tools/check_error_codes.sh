#!/usr/bin/env bash
# Every raising site in the engine names its error code (tav_error_codes.h)
# rather than passing a bare number, and every name there is a code of the
# error table. Lists each offender; exits 1 if there is any. Tests are exempt:
# their assertions keep the numbers, as a host sees them.
#
# Usage: check_error_codes.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"

found=0
# A call whose first argument is a number, on its own line or the next.
while IFS= read -r -d '' f; do
  case $f in *_test.cpp) continue ;; esac
  if grep -Pzo 'TavDatabaseError(Fmt)?\(\s*[0-9]' "$f" >/dev/null; then
    grep -n -A1 -E 'TavDatabaseError(Fmt)?\(' "$f" | grep -E 'TavDatabaseError(Fmt)?\( *[0-9]|^[0-9]+-\s*[0-9]+\s*,' |
      sed "s|^|$f: bare error code: |"
    found=1
  fi
done < <(find engine apps \( -name '*.cpp' -o -name '*.h' \) -print0 2>/dev/null)

codes=engine/storage/base/tav_error_codes.h
table=engine/storage/base/tav_errors_table.cpp
if [ -f "$codes" ]; then
  while read -r name code; do
    [ "$code" = 1 ] && continue  # raised without a row of its own
    if ! grep -q "{$code, \"" "$table"; then
      echo "$codes: $name = $code is not a code of the error table"
      found=1
    fi
  done < <(sed -n 's/^inline constexpr int \(k[A-Za-z0-9]*\) = \([0-9]*\);.*/\1 \2/p' "$codes")
fi
exit $found
