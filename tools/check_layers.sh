#!/usr/bin/env bash
# Lists every #include that points up a layer, and every library source that
# includes a test-only helper; exits 1 if there is any. The build refuses most
# of these too (each library compiles against its own include root), but a
# header that no source of its own layer includes would slip past the compiler.
#
# Usage: check_layers.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"

# What each layer may include, lowest first. A folder not named here (tests,
# apps, bench) may include anything.
declare -A may=(
  [os]="os"
  [host/rtl]="os host/rtl"
  [host/classes]="os host/rtl host/classes"
  [host/db]="os host/rtl host/classes host/db"
  [host/forms]="os host/rtl host/classes host/forms"
  [host/forms_window]="os host/rtl host/classes host/forms host/forms_window"
  [engine/storage]="os host/rtl host/classes host/db engine/storage"
  [engine/expr]="os host/rtl host/classes host/db engine/storage engine/expr"
  [engine/components]="os host/rtl host/classes host/db engine/storage engine/expr engine/components"
  [engine/query]="os host/rtl host/classes host/db engine/storage engine/expr engine/components engine/query"
  [installer/engine]="os host/rtl host/classes host/db host/forms installer/engine"
  [installer/frontend]="os host/rtl host/classes host/db host/forms installer/engine installer/frontend"
)

layer_of() {
  local p=$1 l
  for l in "${!may[@]}"; do
    case $p in "$l"/*) echo "$l"; return ;; esac
  done
}

found=0
while IFS= read -r -d '' f; do
  f=${f#./}
  from=$(layer_of "$f")
  [ -n "$from" ] || continue
  is_test=0
  case $f in *_test.cpp|*/testing/*) is_test=1 ;; esac
  while IFS=: read -r line inc; do
    to=$(layer_of "$inc")
    [ -n "$to" ] || continue
    if [[ " ${may[$from]} " != *" $to "* ]]; then
      echo "$f:$line: $from includes $inc ($to lies above it or beside it)"
      found=1
    elif [ $is_test = 0 ] && [[ $inc == */testing/* ]]; then
      echo "$f:$line: library source includes the test-only $inc"
      found=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$f" | sed 's/^\([0-9]*\):.*"\(.*\)".*/\1:\2/')
done < <(find . \( -name .git -o -name 'build*' -o -name testdata \) -prune -o \( -name '*.h' -o -name '*.cpp' \) -print0)
exit $found
