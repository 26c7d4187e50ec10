#!/usr/bin/env bash
# The installer end to end, as real processes on fresh machine roots: the
# README's run (stage, build the distribution, install it unattended), then a
# second install into the recorded folder, a store with several IDEs, Cancel
# on each page before the install and during the copy, the windowed presenter
# asked for where it cannot work, and a help configuration file the IDE
# package cannot be registered in.
#
#   tests/installer_run_test.sh <cmake build folder>
set -euo pipefail

BUILD=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$SOURCE_DIR/tools/test_checks.sh"
make_work

D7_KEY='HKEY_CURRENT_USER\Software\Borland\Delphi\7.0'
PACKAGE='"C:\\Program Files\\Tavrin\\Delphi7\\dcltav14d7.bpl"="Tavrin Database Engine"'

# A machine root staged: "$M" is it, "$STAGE" its C:\stage. The first is
# staged; the others are copies of it as it was then.
fresh_machine() {  # <name>
  export TAV_MACHINE_ROOT=$WORK/$1/machine
  M=$TAV_MACHINE_ROOT
  if [[ ! -d $WORK/staged ]]; then
    "$SOURCE_DIR/tools/stage_setup.sh" "$BUILD" "$WORK/staged" >/dev/null
  fi
  mkdir -p "$WORK/$1"
  cp -a "$WORK/staged" "$M"
  STAGE=$M/C/stage
}
# The distribution in C:\build: built on the first machine, copied after.
build_distribution() {
  if [[ -d $WORK/built ]]; then
    cp -a "$WORK/built" "$M/C/build"
    return
  fi
  (cd "$STAGE" && timeout 300 ./TavrinDemoInstall -b --unattended >/dev/null 2>&1)
  cp -a "$M/C/build" "$WORK/built"
}
install() {  # [options...]: the exit status in STATUS
  set +e
  (cd "$STAGE" && timeout 300 ./TavrinDemoInstall '-sC:\build' --unattended "$@" >/dev/null 2>&1)
  STATUS=$?
  set -e
}
# Merges a REGEDIT4 text into the machine's store (keys and values added).
add_store() {  # <text>
  printf '%s' "$1" | tr -d '\r' | sed 's/$/\r/' >>"$M/registry.reg"
}

# ---- the README's run ----
fresh_machine readme
check "build exits 0" build_distribution
for f in setup.exe setup.1 files.1; do check "the build made $f" test -s "$M/C/build/$f"; done
install --transcript=run.txt
check "install exits 0 (got $STATUS)" test "$STATUS" -eq 0
T=$M/C/Program\ Files/Tavrin
# 93 of the 94 (one goes to the system folder), uninstall.exe and the log.
check "95 files" test "$(find "$T" -type f | wc -l)" -eq 95
for f in readme.txt licence.txt Help/tavrin.hlp Help/tavrin.cnt Utils/TavrinEditor.exe \
  Delphi7/dcltav14d7.bpl Delphi7/tavVerControl.dcu Demo/TavDemo.tav Demo/SecurityDemo.tav \
  Demo/Blobs.dpr Uninstall/uninstall.exe instlog.txt; do
  check "$f installed" test -s "$T/$f"
done
check "the package in the system folder" test -s "$M/C/WINDOWS/system32/tav14rd7.bpl"
check "files as staged" cmp "$T/Delphi7/tav14rd7.bpl" "$STAGE/payload/Delphi7/tav14rd7.bpl"
R=$M/registry.reg
check "product InstallPath" has "$R" '"InstallPath"="C:\\Program Files\\Tavrin"'
check "product Ver" has "$R" '"Ver"="141"'
check "Uninstall entry" has "$R" '"UninstallString"="C:\\Program Files\\Tavrin\\Uninstall\\uninstall.exe Tavrin Database Engine"'
check "help registered" has "$R" '"TAVRIN.HLP"="C:\\Program Files\\Tavrin\\Help"'
check "known package" has "$R" "$PACKAGE"
check "palette" has "$R" '"Data Access"="TTavDatabase;TTavTable;TTavQuery"'
check "search path" has "$R" '"Search Path"="$(DELPHI)\\Lib;$(DELPHI)\\Bin;$(DELPHI)\\Imports;C:\\Program Files\\Tavrin\\Delphi7"'
HELP=$M/C/Program\ Files/Borland/Delphi7/Help
check "help linked after the third-party section" test "$(tr -d '\r' <"$HELP/delphi7.ohl" | tail -1)" = ":Link tavrin.hlp"
check "help index deleted" test ! -e "$HELP/delphi7.gid"
L=$T/instlog.txt
check "log: commencing" has "$L" "Commencing Installation - Tavrin Database Engine"
check "log: version page skipped" has "$L" "Delphi Ver Dlg skip - True"
check "log: Delphi 7 done" has "$L" "Installing product. Product - Delphi 7 Done"
check "transcript: no version page" lacks "$STAGE/run.txt" "show TBeforeInstallDialog1"
check "transcript: the completion page" has "$STAGE/run.txt" "show TAfterGoodInstallDlg"

# ---- a second install goes to the folder the first chose ----
fresh_machine again
build_distribution
printf '%s\n' '[SelectDestinationForm]' 'type edDestDir C:\Tools\Tavrin' 'click ProceedBtn' >"$STAGE/answers.txt"
install --answers=answers.txt
check "first install to C:\\Tools exits 0 (got $STATUS)" test "$STATUS" -eq 0
rm -rf "$M/C/Tools/Tavrin"
install
check "second install exits 0 (got $STATUS)" test "$STATUS" -eq 0
check "second install in the recorded folder" test -s "$M/C/Tools/Tavrin/readme.txt"
check "nothing under Program Files" test ! -e "$M/C/Program Files/Tavrin/readme.txt"

# ---- several IDEs: only the supported one is registered ----
fresh_machine several
build_distribution
add_store '[HKEY_LOCAL_MACHINE\Software\Borland\Delphi\6.0]
"RootDir"="C:\\Program Files\\Borland\\Delphi6"

[HKEY_CURRENT_USER\Software\Borland\Delphi\6.0\Palette]
"Standard"="TLabel"

[HKEY_LOCAL_MACHINE\Software\Borland\C++Builder\6.0]
"RootDir"="C:\\Program Files\\Borland\\CBuilder6"
'
install --transcript=run.txt
check "several IDEs: exits 0 (got $STATUS)" test "$STATUS" -eq 0
check "several IDEs: Delphi 7 registered" has "$M/registry.reg" "$PACKAGE"
check "several IDEs: one Data Access page" test "$(tr -d '\r' <"$M/registry.reg" | grep -c '"Data Access"')" -eq 1
check "several IDEs: version page skipped" lacks "$STAGE/run.txt" "show TBeforeInstallDialog1"

# ---- Cancel on each page before the install ----
for page in WelcomeForm LicenseForm SelectDestinationForm ConfirmInstall; do
  fresh_machine "cancel-$page"
  build_distribution
  printf '%s\n' "[$page]" 'click CancelBtn' 'message Yes' >"$STAGE/answers.txt"
  install --answers=answers.txt
  check "cancel on $page exits 2 (got $STATUS)" test "$STATUS" -eq 2
  check "cancel on $page: no package" lacks "$M/registry.reg" "$PACKAGE"
  check "cancel on $page: no product key" lacks "$M/registry.reg" '"InstallPath"='
  check "cancel on $page: no files" test ! -e "$M/C/Program Files/Tavrin/readme.txt"
done

# ---- Cancel during the copy: it stops there ----
fresh_machine cancel-copy
build_distribution
printf '%s\n' '[CopyFileForm]' 'cancel-after 3' >"$STAGE/answers.txt"
install --answers=answers.txt
check "cancel during the copy exits 2 (got $STATUS)" test "$STATUS" -eq 2
check "cancel during the copy: stopped before the last file" test ! -e "$M/C/Program Files/Tavrin/readme.txt"
check "cancel during the copy: no product key" lacks "$M/registry.reg" '"InstallPath"='
check "cancel during the copy: no package" lacks "$M/registry.reg" "$PACKAGE"
check "cancel during the copy: no install history" lacks "$M/registry.reg" 'QEL\Install'

# ---- the windowed presenter asked for where it cannot work ----
set +e
(cd "$STAGE" && env -u DISPLAY timeout 60 ./TavrinDemoInstall '-sC:\build' --presenter=window >"$WORK/out.txt" 2>&1)
STATUS=$?
set -e
check "--presenter=window without it or a display exits 1 (got $STATUS)" test "$STATUS" -eq 1
check "--presenter=window says why" grep -qE \
  "built without the presenter window|The presenter window cannot work here: DISPLAY is not set" "$WORK/out.txt"

# ---- a help configuration file that cannot be replaced ----
fresh_machine readonly
build_distribution
HELP=$M/C/Program\ Files/Borland/Delphi7/Help
cp "$HELP/delphi7.ohl" "$WORK/ohl.before"
chmod a-w "$HELP/delphi7.ohl" "$HELP"
install
chmod u+w "$HELP/delphi7.ohl" "$HELP"
check "package failure exits 1 (got $STATUS)" test "$STATUS" -eq 1
check "help file as it was" cmp "$HELP/delphi7.ohl" "$WORK/ohl.before"
check "failure logged" grep -qa 'Exception' "$M/C/Program Files/Tavrin/instlog.txt"

end_checks "installer run"
