#!/usr/bin/env bash
# Stages the payload twice into fresh machine roots and checks what the
# install script will meet: the 94 files in their folders, real texts as
# Windows text, program images with their version, stand-ins the same on
# every run, a file that spans floppies and real databases.
#
#   tools/stage_setup_test.sh <cmake build folder>
set -euo pipefail

BUILD=$1
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

source "$SOURCE_DIR/tools/test_checks.sh"

"$SOURCE_DIR/tools/stage_setup.sh" "$BUILD" "$WORK/one/machine"
"$SOURCE_DIR/tools/stage_setup.sh" "$BUILD" "$WORK/two/machine" >/dev/null
P=$WORK/one/machine/C/stage/payload

count() { find "$P/$1" -type f | wc -l; }
check "94 files" test "$(find "$P" -type f | wc -l)" -eq 94
check "MainDir" test "$(count MainDir)" -eq 2
check "HelpDir" test "$(count HelpDir)" -eq 2
check "UtilsDir" test "$(count UtilsDir)" -eq 1
check "SysDir" test "$(count SysDir)" -eq 1
check "Delphi7" test "$(count Delphi7)" -eq 42
check "DemoDir" test "$(count DemoDir)" -eq 46
for f in MainDir/readme.txt MainDir/licence.txt UtilsDir/TavrinEditor.exe SysDir/tav14rd7.bpl \
  HelpDir/tavrin.hlp HelpDir/tavrin.cnt Delphi7/tavVerControl.dcu Delphi7/dcltav14d7.bpl \
  Delphi7/tavCondDef.inc Delphi7/TavProped.dcr DemoDir/TavDemo.tav DemoDir/SecurityDemo.tav \
  DemoDir/Blobs.dpr DemoDir/SQLMain.dfm DemoDir/TavDemo.res; do
  check "$f is there" test -s "$P/$f"
done

# The readme is the project's own, line for line, with CR LF ends.
check "readme is the README" \
  cmp <(tr -d '\r' <"$P/MainDir/readme.txt") <(iconv -f UTF-8 -t CP1252//TRANSLIT "$SOURCE_DIR/README.md")
check "readme has CR LF ends" test "$(grep -c $'\r$' "$P/MainDir/readme.txt")" -eq "$(wc -l <"$P/MainDir/readme.txt")"

# Program images with the version resource, FileVersion 14.1.0.0.
for f in SysDir/tav14rd7.bpl Delphi7/tav14rd7.bpl Delphi7/dcltav14d7.bpl UtilsDir/TavrinEditor.exe; do
  check "$f is a program image" test "$(head -c2 "$P/$f")" = MZ
  check "$f has its version" grep -q -a 'FileVersion14\.1\.0\.0' <(tr -d '\0' <"$P/$f")
done

# One file spans floppies (1,457,664 bytes a disk) even compressed.
check "help spans floppies" test "$(gzip -c "$P/HelpDir/tavrin.hlp" | wc -c)" -gt 1457664

# Every file but the databases is the same on every run.
check "stand-ins are deterministic" \
  diff -r -x '*.tav' "$P" "$WORK/two/machine/C/stage/payload"
# The databases carry the engine's file and nothing of the making.
check "no work folder left" test ! -e "$P/DemoDir/.tavpayload-databases"

# A second staging replaces the first.
"$SOURCE_DIR/tools/stage_setup.sh" "$BUILD" "$WORK/one/machine" >/dev/null
check "restaged: 94 files" test "$(find "$P" -type f | wc -l)" -eq 94

# Misuse is refused.
check "no arguments refused" bash -c "! '$SOURCE_DIR/tools/stage_setup.sh' 2>/dev/null"
check "a build folder without the tool refused" \
  bash -c "! '$SOURCE_DIR/tools/stage_setup.sh' '$WORK' '$WORK/three' 2>/dev/null"

end_checks "stage_setup"
